#pragma once
// Residue kernels of the sign-based operations, selection, inequality and
// powers, written once for the CPU and CUDA launchers (core/kernels).  Masks
// are user-shaped bool tensors broadcast over the prime axis, so one decision
// per element moves all of its residues together.
#include <c10/macros/Macros.h>

#include "core/kernels/residue_kernel.h"
#include "core/modmath.h"

namespace kalvex {

// |x| decided elsewhere: the numerator negated where `negative`.
struct NegateWhereOp {
  C10_HOST_DEVICE int64_t operator()(const Modulus& m, bool negative, int64_t a) const {
    return negative ? neg_mod(a, m) : a;
  }
};

// relu: the element kept where `positive`, else the canonical zero 0/1.
struct KeepOrZeroOp {
  C10_HOST_DEVICE ResidueTuple<2> operator()(bool positive, int64_t a, int64_t b) const {
    return {positive ? a : 0, positive ? b : 1};
  }
};

// where: numerator and denominator together from x = a/b or y = c/d.
struct SelectOp {
  C10_HOST_DEVICE ResidueTuple<2> operator()(bool take_x, int64_t a, int64_t b, int64_t c, int64_t d) const {
    return {take_x ? a : c, take_x ? b : d};
  }
};

// clamp with both bounds: the upper bound where `above`, else the lower one
// where `below`, else x = a/b (the lower bound is applied first).
struct ClampOp {
  C10_HOST_DEVICE ResidueTuple<2> operator()(bool below, bool above, int64_t a, int64_t b, int64_t lo_num,
                                             int64_t lo_den, int64_t hi_num, int64_t hi_den) const {
    const int64_t num = above ? hi_num : (below ? lo_num : a);
    const int64_t den = above ? hi_den : (below ? lo_den : b);
    return {num, den};
  }
};

// Per-prime flags of x != y: ad != bc.
struct NotEqualOp {
  C10_HOST_DEVICE bool operator()(const Modulus& m, int64_t a, int64_t b, int64_t c, int64_t d) const {
    return mul_mod_d(as_double(a), as_double(d), m) != mul_mod_d(as_double(b), as_double(c), m);
  }
};

// (a/b)^e, unreduced: a^e / b^e (pow_mod_d: core/modmath.h); a constant
// denominator stays one value per prime.
struct PowerOp {
  static constexpr uint32_t kReads[2] = {0b01, 0b10};
  uint64_t exponent;
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b) const {
    return {as_residue(pow_mod_d(as_double(a), exponent, m)), as_residue(pow_mod_d(as_double(b), exponent, m))};
  }
};

}  // namespace kalvex

// Every functor above, listed once for both backends (kernels_cpu.cpp,
// kernels_cuda.cu), as KALVEX_ARITHMETIC_KERNELS is.
#define KALVEX_ELEMENTWISE_KERNELS(KERNEL, SPLIT_KERNEL) \
  KERNEL(NegateWhereOp)                                \
  KERNEL(KeepOrZeroOp)                                 \
  KERNEL(SelectOp)                                     \
  KERNEL(ClampOp)                                      \
  KERNEL(NotEqualOp)                                   \
  SPLIT_KERNEL(PowerOp)
