#pragma once
// Reading one fraction back from its residues.
//
// NOTE: [Robust read-back]
// Numerators and denominators are kept unreduced, so a value whose reduced form
// is small can carry a pair that no longer fits the signed range of M (a sum of
// a dozen float-captured values already does: each adds 2^52 to the
// denominator).  A half that overflowed reads as about 619 bits of noise while
// the other half may be genuine and small (x^12 for x = 1/64 captured from a
// float has N = 2^552 genuine and D = 2^624 overflowed), so one small half
// proves nothing.  The reading:
//   1. literal signed CRT of N and D; when D != 0 and BOTH have at most 555
//      bits, that pair is the answer;
//   2. otherwise rational reconstruction over S, the primes where D's residue
//      is non-zero (all of them unless D has a basis prime as a factor), M_S
//      their product: x = N * D^-1 mod M_S and the maximal-quotient rational
//      reconstruction of x (extended Euclid on (M_S, x), keeping the pair
//      before the largest partial quotient).  The pair a/b is accepted when
//        - gcd(a, b) = 1 and |a| * b * 2^64 < M_S,
//        - a * D == b * N modulo each prime outside S (so 1/p for a basis
//          prime p is recovered), and
//        - it explains each half that looks genuine: a divides N when N has at
//          most 555 bits, b divides D likewise.  (A genuine (M // 2, 1) is
//          congruent to -1/2, but 2 does not divide 1: it keeps its reading.)
//   3. otherwise the literal pair, but only when both halves are known to be
//      in the signed range (NOTE: [Size bounds]);
//   4. otherwise the value cannot be read: it is "unreadable", and nothing
//      is computed from the literal pair, which is then noise.
// A reading of any step that the lower bounds of the sizes rule out (a value
// of 620 bits over 1 whose residues are those of -1) is unreadable too.
// Results thus equal the literal reading wherever its values are in range, and
// stay exact beyond it whenever the reduced value fits with a 64-bit margin.
#include <cstdint>
#include <vector>

#include "core/bigint.h"
#include "core/bit_bounds.h"
#include "reconstruct/crt.h"

namespace kalvex {

// A half of a literal reading with at most this many bits may be genuine; an
// overflowed half reads as about 619 bits (NOTE: [Robust read-back]).
constexpr size_t kGenuineBits = 555;

// Which step of NOTE: [Robust read-back] gave the last reading.
enum class Reading {
  Literal,        // step 1: both halves small, so both genuine
  Reconstructed,  // step 2: an accepted rational reconstruction
  InRange,        // step 3: the literal pair, known to be in range
  Unreadable,     // step 4: no reading is certain
};

// Reconstructs fractions against one basis.  Holds its GMP scratch so that a
// loop over many elements allocates nothing once the first has been read.
class FractionReader {
 public:
  explicit FractionReader(const CrtBasis& basis)
      : basis_(basis), x_residues_(basis.primes.size()), in_s_(basis.primes.size()) {}

  // Reads the element whose residues are num[i * num_stride] and
  // den[i * den_stride], i < count (rows beyond the basis are ignored, missing
  // rows count as 0), whose integers are bounded by `bounds`.  The result,
  // not reduced, is left in num() / den(); after an unreadable read they hold
  // the literal pair, which is not the value.
  void read(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride, size_t count,
            const BitBounds& bounds);

  // Whether the last reading is the value itself.
  bool readable() const { return reading_ != Reading::Unreadable; }

  // Whether the last reading is a literal pair of int64s, read the short way;
  // then also in small_num() / small_den() (den != 0).
  bool small() const { return small_; }
  int64_t small_num() const { return small_num_; }
  int64_t small_den() const { return small_den_; }
  const BigInt& num() const { return num_; }
  const BigInt& den() const { return den_; }
  BigInt& num() { return num_; }
  BigInt& den() { return den_; }

 private:
  bool reconstructed(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride, size_t count);
  bool within_sizes(const BitBounds& bounds) const;
  bool invert_residues(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride);
  bool reconstruct(mpz_srcptr x, mpz_srcptr modulus);
  bool explains(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride);

  const CrtBasis& basis_;
  Reading reading_ = Reading::Unreadable;
  bool small_ = false;
  int64_t small_num_ = 0, small_den_ = 1;
  BigInt num_, den_;
  std::vector<int64_t> x_residues_;
  std::vector<char> in_s_;  // per prime: D's residue is non-zero
  BigInt x_, m_s_, r0_, r1_, t0_, t1_, q_, tmp_, best_q_, best_r_, best_t_;
};

// Lowest terms with a positive denominator: divide by gcd(|n|, |d|) when it
// exceeds 1, then move the sign of a negative denominator to the numerator.
// (0, 0) stays (0, 0); (n, 0) becomes (sign(n), 0).
void reduce_fraction(BigInt& num, BigInt& den);

// Whether a / b equals the fraction whose residues are num[i * num_stride] /
// den[i * den_stride] modulo every prime of the basis (a * D == b * N).
bool congruent(const CrtBasis& basis, const BigInt& a, const BigInt& b, const int64_t* num, int64_t num_stride,
               const int64_t* den, int64_t den_stride);

}  // namespace kalvex
