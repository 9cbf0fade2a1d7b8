#pragma once
// Modular arithmetic on residues below 2^31, shared by the CPU and CUDA kernels.
//
// NOTE: [Products without integer division]
// Residues below 2^31 are exact doubles.  For a, b in [0, p):
//   h = fl(a * b)            the product rounded to 53 bits,
//   l = fma(a, b, -h)        its rounding error, exactly (|l| <= 2^9),
//   q = rint(h * (1 / p))    within one of a * b / p (the relative error of
//                            the estimate is a few 2^-53 and a*b/p < 2^31),
//   r = fma(-q, p, h) + l    exact: the true value a*b - q*p is an integer of
//                            magnitude below 2p, so no step rounds,
// and r lies in [-p, p): one conditional add of p gives a*b mod p.  Every
// step is one vector instruction on current CPUs and GPUs, and no int64
// multiplication or division is needed.
#include <c10/macros/Macros.h>

#include <cmath>
#include <cstdint>

namespace kalvex {

struct Modulus {
  double p;
  double inv;
  C10_HOST_DEVICE explicit Modulus(int64_t prime)
      : p(static_cast<double>(prime)), inv(1.0 / static_cast<double>(prime)) {}
};

// Residues are below 2^31, so the narrowing conversions below are exact.
C10_HOST_DEVICE inline double as_double(int64_t residue) { return static_cast<double>(static_cast<int32_t>(residue)); }
C10_HOST_DEVICE inline int64_t as_residue(double value) { return static_cast<int64_t>(static_cast<int32_t>(value)); }

// a * b mod p, for a, b in [0, p) held as doubles; the result as a double.
C10_HOST_DEVICE inline double mul_mod_d(double a, double b, const Modulus& m) {
  const double h = a * b;
  const double l = std::fma(a, b, -h);
  const double q = std::rint(h * m.inv);
  double r = std::fma(-q, m.p, h) + l;
  r += (r < 0.0) ? m.p : 0.0;
  return r;
}

C10_HOST_DEVICE inline double add_mod_d(double x, double y, const Modulus& m) {
  const double s = x + y;
  return s - ((s >= m.p) ? m.p : 0.0);
}

C10_HOST_DEVICE inline double sub_mod_d(double x, double y, const Modulus& m) {
  const double s = x - y;
  return s + ((s < 0.0) ? m.p : 0.0);
}

C10_HOST_DEVICE inline int64_t mul_mod(int64_t a, int64_t b, const Modulus& m) {
  return as_residue(mul_mod_d(as_double(a), as_double(b), m));
}

C10_HOST_DEVICE inline int64_t neg_mod(int64_t a, const Modulus& m) {
  return a == 0 ? 0 : static_cast<int64_t>(m.p) - a;
}

// a^e mod p by squaring, least significant bit first.
C10_HOST_DEVICE inline double pow_mod_d(double a, uint64_t e, const Modulus& m) {
  double result = 1.0;
  while (e != 0) {
    if (e & 1) result = mul_mod_d(result, a, m);
    a = mul_mod_d(a, a, m);
    e >>= 1;
  }
  return result;
}

// The floor residue of any int64 s: the quotient estimate s * (1/p) is within
// one of the true quotient, and the remainder is formed modulo 2^64, where the
// true value (of magnitude below 2p) is exact.
C10_HOST_DEVICE inline int64_t reduce_int64(int64_t s, const Modulus& m) {
  const int64_t p = static_cast<int64_t>(m.p);
  const int64_t q = static_cast<int64_t>(static_cast<double>(s) * m.inv);
  int64_t r = static_cast<int64_t>(static_cast<uint64_t>(s) - static_cast<uint64_t>(q) * static_cast<uint64_t>(p));
  r += (r < 0) ? p : 0;
  r += (r < 0) ? p : 0;
  r -= (r >= p) ? p : 0;
  r -= (r >= p) ? p : 0;
  return r;
}

}  // namespace kalvex
