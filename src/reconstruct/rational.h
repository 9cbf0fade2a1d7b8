#pragma once
// Reading one fraction back from its residues.
//
// NOTE: [Robust read-back]
// Numerators and denominators are kept unreduced, so a value whose reduced form
// is small can carry a pair that no longer fits the signed range of M (a sum of
// a dozen float-captured values already does: each adds 2^52 to the
// denominator).  The literal signed CRT reading is kept whenever it can be
// trusted, and replaced by rational reconstruction only where it cannot:
//   1. literal signed CRT of N and D; when D != 0 and one of the two has at
//      most 555 bits, that pair is the answer (an overflowed pair has both near
//      619 bits, a genuine pair such as (M // 2, 1) keeps its reading);
//   2. otherwise, when D is invertible modulo every prime, x = N * D^-1 mod M
//      and the maximal-quotient rational reconstruction of x: extended Euclid
//      on (M, x), keeping the pair before the largest partial quotient; it is
//      accepted when gcd(a, b) = 1 and |a| * b * 2^64 < M;
//   3. otherwise the literal pair.
// Results thus equal the literal reading wherever its values are in range, and
// stay exact beyond it whenever the reduced value fits with a 64-bit margin.
#include <cstdint>
#include <vector>

#include "core/bigint.h"
#include "reconstruct/crt.h"

namespace kalvex {

// Reconstructs fractions against one basis.  Holds its GMP scratch so that a
// loop over many elements allocates nothing once the first has been read.
class FractionReader {
 public:
  explicit FractionReader(const CrtBasis& basis) : basis_(basis), x_residues_(basis.primes.size()) {}

  // Reads the element whose residues are num[i * num_stride] and
  // den[i * den_stride], i < count (rows beyond the basis are ignored, missing
  // rows count as 0).  The result, not reduced, is left in num() / den().
  void read(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride, size_t count);

  const BigInt& num() const { return num_; }
  const BigInt& den() const { return den_; }
  BigInt& num() { return num_; }
  BigInt& den() { return den_; }

 private:
  bool invert_residues(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride, size_t count);
  bool reconstruct(mpz_srcptr x);

  const CrtBasis& basis_;
  BigInt num_, den_;
  std::vector<int64_t> x_residues_;
  BigInt x_, r0_, r1_, t0_, t1_, q_, tmp_, best_q_, best_r_, best_t_;
};

// Lowest terms with a positive denominator: divide by gcd(|n|, |d|) when it
// exceeds 1, then move the sign of a negative denominator to the numerator.
// (0, 0) stays (0, 0); (n, 0) becomes (sign(n), 0).
void reduce_fraction(BigInt& num, BigInt& den);

}  // namespace kalvex
