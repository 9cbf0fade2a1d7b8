#pragma once
// Chinese remainder reconstruction against one prime basis.  The constants of
// a basis are computed once and kept in a small cache keyed by the primes, so
// the standard basis and any other basis a tensor carries are both cheap.
#include <cstdint>
#include <memory>
#include <vector>

#include "core/bigint.h"
#include "core/modmath.h"

namespace kalvex {

struct CrtBasis {
  std::vector<int64_t> primes;   // in basis order
  BigInt modulus;                // M, the product of the primes
  BigInt half;                   // M // 2: larger values stand for value - M
  std::vector<BigInt> weights;   // (M / p_i) * ((M / p_i)^-1 mod p_i)
  // Garner's step on the first two primes (both in (2^20, 2^31), coprime):
  // p0 p1 below 2^62 and p0^-1 mod p1.
  bool garner = false;
  int64_t p01 = 0, inv01 = 0;
  // A size bound (NOTE: [Size bounds]) at most log2(p0 p1 / 2): integers
  // known to be within it are read from their first two residues alone.
  int64_t pair_bound = -1;
  // Per prime, for remainders by multiplication (reduce_int64); set only
  // when every prime is in (2^20, 2^31), where the quotient estimate is
  // within one of the true one.
  std::vector<Modulus> moduli;
};

// The constants of the basis primes[0 .. count).  Throws a Value error when a
// partial product is not invertible modulo its prime (repeated primes), and
// ZeroDivision for a zero prime, as the host's pow(Mi, -1, p) and M // p do.
std::shared_ptr<const CrtBasis> crt_basis(const int64_t* primes, size_t count);

// out = the value in [0, M) congruent to residues[i * stride] modulo primes[i],
// the sum over i < min(count, |basis|) of r_i * weight_i reduced modulo M.
// Residues are taken as given (any int64), as the plain formula takes them.
void crt_unsigned(const CrtBasis& basis, const int64_t* residues, int64_t stride, size_t count, mpz_ptr out);

// The signed reading of residues[i * stride] (i < count, any int64) when it is
// an integer below p0 p1 / 2 in magnitude: Garner's step on the first two
// primes gives the only candidate of that size, which every other residue
// must confirm.  Far cheaper than crt_unsigned, and the same value.
bool small_integer(const CrtBasis& basis, const int64_t* residues, int64_t stride, size_t count, int64_t& out);

// Garner's step alone (basis.garner): the integer below p0 p1 / 2 in
// magnitude whose residues modulo the first two primes are r0 and r1.
int64_t pair_integer(const CrtBasis& basis, int64_t r0, int64_t r1);

// Maps a value in [0, M) to its signed representative: above M // 2 it is v - M.
inline void make_signed(const CrtBasis& basis, mpz_ptr value) {
  if (mpz_cmp(value, basis.half.get()) > 0) mpz_sub(value, value, basis.modulus.get());
}

}  // namespace kalvex
