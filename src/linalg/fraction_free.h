#pragma once
// Exact determinants and solutions of small matrices of fractions by
// fraction-free (Bareiss) elimination: each row is brought to a common
// denominator, the integer matrix is eliminated with exact divisions only,
// and the results are divided back and put in lowest terms.  The integers
// are kept between calls, so repeated evaluations allocate nothing.
#include <vector>

#include "linalg/entry_values.h"

namespace kalvex::linalg {

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
