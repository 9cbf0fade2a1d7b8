#pragma once
// Modular arithmetic on residues below 2^31, shared by the CPU and CUDA kernels.
//
// NOTE: [Reduction without integer division]
// For 0 <= x < 2^63 and a modulus 1 <= p < 2^31 whose inputs were residues in
// [0, p) (so x < 2 p^2), the quotient estimate q = trunc(double(x) * (1.0 / p))
// is within one of floor(x / p): the three roundings involved each have a
// relative error of at most 2^-53 and x / p < 2^32, so the estimate is off by
// far less than 1.  One conditional add and one conditional subtract of p then
// give the exact remainder.  Multiplications of two residues use the unsigned
// 32x32->64 product, which vectorises to a single instruction.
#include <c10/macros/Macros.h>

#include <cstdint>

namespace kalvex {

struct Modulus {
  int64_t p;
  double inv;
  C10_HOST_DEVICE explicit Modulus(int64_t prime) : p(prime), inv(1.0 / static_cast<double>(prime)) {}
};

C10_HOST_DEVICE inline uint64_t mul_wide(int64_t a, int64_t b) {
  return static_cast<uint64_t>(static_cast<uint32_t>(a)) * static_cast<uint64_t>(static_cast<uint32_t>(b));
}

// x mod p for 0 <= x < 2^63 (see the note above for when this is exact).
C10_HOST_DEVICE inline int64_t reduce(uint64_t x, const Modulus& m) {
  const int64_t q = static_cast<int64_t>(static_cast<double>(static_cast<int64_t>(x)) * m.inv);
  int64_t r = static_cast<int64_t>(x - static_cast<uint64_t>(q) * static_cast<uint64_t>(m.p));
  r += (r < 0) ? m.p : 0;
  r -= (r >= m.p) ? m.p : 0;
  return r;
}

C10_HOST_DEVICE inline int64_t mul_mod(int64_t a, int64_t b, const Modulus& m) { return reduce(mul_wide(a, b), m); }

// (a*b + c*d) mod p: the sum of two residue products stays below 2^63.
C10_HOST_DEVICE inline int64_t dot2_mod(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m) {
  return reduce(mul_wide(a, b) + mul_wide(c, d), m);
}

// (a*b - c*d) mod p, kept non-negative by adding p^2 > c*d.
C10_HOST_DEVICE inline int64_t cross_diff_mod(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m) {
  return reduce(mul_wide(a, b) + mul_wide(m.p, m.p) - mul_wide(c, d), m);
}

C10_HOST_DEVICE inline int64_t neg_mod(int64_t a, const Modulus& m) { return a == 0 ? 0 : m.p - a; }

}  // namespace kalvex
