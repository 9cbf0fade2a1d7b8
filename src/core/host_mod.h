#pragma once
// Residue helpers for host code that works on one residue at a time.
#include <cstdint>

namespace kalvex {

// value mod p in [0, p), as the host's % gives it (p > 0).
inline int64_t floor_mod(int64_t value, int64_t p) {
  const int64_t r = value % p;
  return r < 0 ? r + p : r;
}

// a^-1 mod p for 0 <= a < p, or 0 when gcd(a, p) != 1.
inline int64_t inverse_mod(int64_t a, int64_t p) {
  int64_t r0 = p, r1 = a, t0 = 0, t1 = 1;
  while (r1 != 0) {
    const int64_t q = r0 / r1;
    const int64_t r = r0 - q * r1;
    r0 = r1;
    r1 = r;
    const int64_t t = t0 - q * t1;
    t0 = t1;
    t1 = t;
  }
  if (r0 != 1) return 0;
  return t0 < 0 ? t0 + p : t0;
}

}  // namespace kalvex
