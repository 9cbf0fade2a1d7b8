#pragma once
// Exact evaluation on the host: the entries' values read back, then
// determinants and solutions by fraction-free (Bareiss) elimination.  Each
// row is brought to a common denominator, the integer matrix is eliminated
// with exact divisions only, and the results are divided back and put in
// lowest terms.  The integers are kept between calls, so repeated
// evaluations allocate nothing.
#include <memory>
#include <vector>

#include "core/bigint.h"
#include "linalg/host_matrix.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"

namespace kalvex::linalg {

// A fraction with a positive denominator, not necessarily in lowest terms.
struct ExactFraction {
  BigInt num;
  BigInt den;
};

// The CRT constants of a matrix's primes (Value error for a basis that has
// none, such as repeated primes).
std::shared_ptr<const CrtBasis> basis_of(const PrimeRow& primes);

// Reads entries as the read-back does (NOTE: [Robust read-back]).
class EntryReader {
 public:
  explicit EntryReader(const CrtBasis& basis) : reader_(basis) {}

  // The value of one entry whose integers are bounded by `bits`; false when
  // it has none to compute with: a zero denominator, or no certain reading.
  bool read(const ResidueFraction& r, const BitBounds& bits, ExactFraction& out);

  // Every entry of m in row-major order into the first entries of `out`
  // (grown when short, never shrunk, so its integers keep their storage);
  // false at the first without a value.
  bool read_all(const HostMatrix& m, std::vector<ExactFraction>& out);

 private:
  FractionReader reader_;
};

class FractionFree {
 public:
  // det of the n x n matrix m (its first n * n entries, row-major), in lowest terms.
  void det(const std::vector<ExactFraction>& m, int64_t n, ExactFraction& out);

  // The solution of a x = b (a n x n row-major, b of n entries), each
  // component in lowest terms in x[0 .. n); false when a is singular.
  bool solve(const std::vector<ExactFraction>& a, const std::vector<ExactFraction>& b, int64_t n,
             std::vector<ExactFraction>& x);

  // f in lowest terms with a positive denominator (den != 0).
  void lowest_terms(ExactFraction& f);

 private:
  mpz_ptr at(int64_t r, int64_t c) { return cells_[static_cast<size_t>(r * cols_ + c)].get(); }
  void clear(const std::vector<ExactFraction>& a, const std::vector<ExactFraction>* b, int64_t n);
  void clear_row(int64_t r, int64_t count);
  int eliminate();

  int64_t rows_ = 0, cols_ = 0;
  std::vector<BigInt> cells_;
  std::vector<BigInt> y_;
  std::vector<const ExactFraction*> row_;
  BigInt scale_, common_, factor_, t_, previous_, gcd_;
};

}  // namespace kalvex::linalg
