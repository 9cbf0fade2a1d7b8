#pragma once
// The element-wise formulas of the exact arithmetic, written once for the CPU
// and CUDA launchers (residue_kernel.h).  Each maps the residues (a, b) of
// x = a/b and (c, d) of y = c/d modulo one prime to the residues of the result.
#include <c10/macros/Macros.h>

#include "core/bit_bounds.h"
#include "core/kernels/residue_kernel.h"
#include "core/modmath.h"

namespace kalvex {

// Which inputs (a, b, c, d: bits 0 to 3) the numerator and the denominator
// read: a denominator made of constant rows is computed once per prime.
//
// AddOp and MulOp also give their formula as a fold step on residues held as
// doubles, x <- x (+) y, which every host loop that accumulates (reductions,
// running values, matrix products) calls; kEmpty is the numerator of the
// empty sum or product, over 1.
struct AddOp {  // a/b + c/d = (ad + bc) / bd
  static constexpr uint32_t kReads[2] = {0b1111, 0b1010};
  static constexpr double kEmpty = 0.0;
  C10_HOST_DEVICE static void fold(double& xn, double& xd, double yn, double yd, const Modulus& m) {
    xn = add_mod_d(mul_mod_d(xn, yd, m), mul_mod_d(xd, yn, m), m);
    xd = mul_mod_d(xd, yd, m);
  }
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b, int64_t c, int64_t d) const {
    double n = as_double(a), den = as_double(b);
    fold(n, den, as_double(c), as_double(d), m);
    return {as_residue(n), as_residue(den)};
  }
};

struct SubOp {  // a/b - c/d = (ad - bc) / bd
  static constexpr uint32_t kReads[2] = {0b1111, 0b1010};
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b, int64_t c, int64_t d) const {
    const double da = as_double(a), db = as_double(b), dc = as_double(c), dd = as_double(d);
    return {as_residue(sub_mod_d(mul_mod_d(da, dd, m), mul_mod_d(db, dc, m), m)), as_residue(mul_mod_d(db, dd, m))};
  }
};

struct MulOp {  // (a/b)(c/d) = ac / bd
  static constexpr uint32_t kReads[2] = {0b0101, 0b1010};
  static constexpr double kEmpty = 1.0;
  C10_HOST_DEVICE static void fold(double& xn, double& xd, double yn, double yd, const Modulus& m) {
    xn = mul_mod_d(xn, yn, m);
    xd = mul_mod_d(xd, yd, m);
  }
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b, int64_t c, int64_t d) const {
    double n = as_double(a), den = as_double(b);
    fold(n, den, as_double(c), as_double(d), m);
    return {as_residue(n), as_residue(den)};
  }
};

struct DivOp {  // (a/b) / (c/d) = ad / bc
  static constexpr uint32_t kReads[2] = {0b1001, 0b0110};
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b, int64_t c, int64_t d) const {
    return {mul_mod(a, d, m), mul_mod(b, c, m)};
  }
};

// a/b == c/d modulo this prime: ad == bc.
C10_HOST_DEVICE inline bool cross_equal(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m) {
  return mul_mod_d(as_double(a), as_double(d), m) == mul_mod_d(as_double(b), as_double(c), m);
}

struct EqualOp {  // per-prime flags of ==
  C10_HOST_DEVICE bool operator()(const Modulus& m, int64_t a, int64_t b, int64_t c, int64_t d) const {
    return cross_equal(a, b, c, d, m);
  }
};

struct NegOp {  // -(a/b) = (-a)/b (an operation of its own: core/map.h)
  static constexpr uint32_t kReads[2] = {0b01, 0b10};
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b) const {
    return {neg_mod(a, m), b};
  }
  static at::Tensor approx(const at::Tensor& v) { return at::neg(v); }
  static BitBounds bits(const BitBounds& x) { return x; }
};

// k fractions over one denominator d add up to d^(k-1) (n_1 + ... + n_k) / d^k
// (NOTE: [Unreduced sums]): the two powers of d.
struct CommonDenominatorPowersOp {
  uint64_t count;  // k >= 1
  C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t d) const {
    const double below = pow_mod_d(as_double(d), count - 1, m);
    return {as_residue(below), as_residue(mul_mod_d(below, as_double(d), m))};
  }
};

// s * f mod p for any int64 s (a plain sum of residues) and a residue f.
struct ScaledSumOp {
  C10_HOST_DEVICE int64_t operator()(const Modulus& m, int64_t s, int64_t f) const {
    return mul_mod(reduce_int64(s, m), f, m);
  }
};

}  // namespace kalvex

// Every functor above, listed once for both backends: residue_ops_cpu.cpp and
// residue_ops_cuda.cu expand it with their registration macros
// (residue_kernel.h), so no backend can lack one.
#define KALVEX_ARITHMETIC_KERNELS(KERNEL, SPLIT_KERNEL) \
  SPLIT_KERNEL(AddOp)                                 \
  SPLIT_KERNEL(SubOp)                                 \
  SPLIT_KERNEL(MulOp)                                 \
  SPLIT_KERNEL(DivOp)                                 \
  KERNEL(EqualOp)                                     \
  SPLIT_KERNEL(NegOp)                                 \
  KERNEL(CommonDenominatorPowersOp)                   \
  KERNEL(ScaledSumOp)
