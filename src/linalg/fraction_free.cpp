#include "linalg/fraction_free.h"

namespace kalvex::linalg {

namespace {

void make_denominator_positive(ExactFraction& f) {
  if (f.den.sign() < 0) {
    mpz_neg(f.num.get(), f.num.get());
    mpz_neg(f.den.get(), f.den.get());
  }
}

}  // namespace

std::shared_ptr<const CrtBasis> basis_of(const PrimeRow& primes) {
  return crt_basis(primes.primes.data(), static_cast<size_t>(kNumPrimes));
}

bool EntryReader::read(const ResidueFraction& r, const BitBounds& bits, ExactFraction& out) {
  reader_.read(r.num.data(), 1, r.den.data(), 1, kNumPrimes, bits);
  if (!reader_.readable() || reader_.den().sign() == 0) return false;
  mpz_set(out.num.get(), reader_.num().get());
  mpz_set(out.den.get(), reader_.den().get());
  make_denominator_positive(out);
  return true;
}

bool EntryReader::read_all(const HostMatrix& m, std::vector<ExactFraction>& out) {
  const auto count = static_cast<size_t>(m.size());
  if (out.size() < count) out.resize(count);
  for (size_t k = 0; k < count; ++k) {
    if (!read(m.entries[k], m.bits, out[k])) return false;
  }
  return true;
}

// Row r of the cleared matrix: the fractions in row_ (count of them) times
// their common denominator L; scale_ is multiplied by L.
void FractionFree::clear_row(int64_t r, int64_t count) {
  bool shared = true;
  for (int64_t c = 1; c < count && shared; ++c) shared = mpz_cmp(row_[c]->den.get(), row_[0]->den.get()) == 0;
  if (shared) {
    for (int64_t c = 0; c < count; ++c) mpz_set(at(r, c), row_[c]->num.get());
    mpz_mul(scale_.get(), scale_.get(), row_[0]->den.get());
    return;
  }
  mpz_set(common_.get(), row_[0]->den.get());
  for (int64_t c = 1; c < count; ++c) mpz_lcm(common_.get(), common_.get(), row_[c]->den.get());
  for (int64_t c = 0; c < count; ++c) {
    mpz_divexact(factor_.get(), common_.get(), row_[c]->den.get());
    mpz_mul(at(r, c), row_[c]->num.get(), factor_.get());
  }
  mpz_mul(scale_.get(), scale_.get(), common_.get());
}

// The n x cols integer matrix whose row r is row r of the fractions (a, then
// b when given) brought to a common denominator; scale_ is the product of
// those denominators.
void FractionFree::clear(const std::vector<ExactFraction>& a, const std::vector<ExactFraction>* b, int64_t n) {
  rows_ = n;
  cols_ = b ? n + 1 : n;
  if (cells_.size() < static_cast<size_t>(rows_ * cols_)) cells_.resize(static_cast<size_t>(rows_ * cols_));
  row_.resize(static_cast<size_t>(cols_));
  mpz_set_ui(scale_.get(), 1);
  for (int64_t r = 0; r < n; ++r) {
    for (int64_t c = 0; c < n; ++c) row_[static_cast<size_t>(c)] = &a[static_cast<size_t>(r * n + c)];
    if (b) row_[static_cast<size_t>(n)] = &(*b)[static_cast<size_t>(r)];
    clear_row(r, cols_);
  }
}

// Forward elimination of the first n columns (n = rows <= cols): afterwards
// the cells on and above the diagonal form the fraction-free echelon form and
// the last pivot is +-det of the first n columns.  Returns the sign of the
// row exchanges, or 0 when those columns are singular.
int FractionFree::eliminate() {
  const int64_t n = rows_;
  int sign = 1;
  for (int64_t k = 0; k + 1 < n; ++k) {
    if (mpz_sgn(at(k, k)) == 0) {
      int64_t r = k + 1;
      while (r < n && mpz_sgn(at(r, k)) == 0) ++r;
      if (r == n) return 0;
      for (int64_t c = k; c < cols_; ++c) mpz_swap(at(k, c), at(r, c));
      sign = -sign;
    }
    for (int64_t i = k + 1; i < n; ++i) {
      for (int64_t j = k + 1; j < cols_; ++j) {
        mpz_mul(t_.get(), at(i, j), at(k, k));
        mpz_submul(t_.get(), at(i, k), at(k, j));
        if (k == 0) {
          mpz_swap(at(i, j), t_.get());
        } else {
          mpz_divexact(at(i, j), t_.get(), previous_.get());
        }
      }
    }
    mpz_set(previous_.get(), at(k, k));
  }
  return mpz_sgn(at(n - 1, n - 1)) == 0 ? 0 : sign;
}

void FractionFree::lowest_terms(ExactFraction& f) {
  mpz_gcd(gcd_.get(), f.num.get(), f.den.get());
  if (mpz_cmp_ui(gcd_.get(), 1) > 0) {
    mpz_divexact(f.num.get(), f.num.get(), gcd_.get());
    mpz_divexact(f.den.get(), f.den.get(), gcd_.get());
  }
  if (f.den.sign() < 0) {
    mpz_neg(f.num.get(), f.num.get());
    mpz_neg(f.den.get(), f.den.get());
  }
}

void FractionFree::det(const std::vector<ExactFraction>& a, int64_t n, ExactFraction& out) {
  clear(a, nullptr, n);
  const int sign = eliminate();
  if (sign == 0) {
    mpz_set_ui(out.num.get(), 0);
    mpz_set_ui(out.den.get(), 1);
    return;
  }
  if (sign > 0) {
    mpz_set(out.num.get(), at(n - 1, n - 1));
  } else {
    mpz_neg(out.num.get(), at(n - 1, n - 1));
  }
  mpz_set(out.den.get(), scale_.get());
  lowest_terms(out);
}

bool FractionFree::solve(const std::vector<ExactFraction>& a, const std::vector<ExactFraction>& b, int64_t n,
                         std::vector<ExactFraction>& x) {
  clear(a, &b, n);  // scaling rows leaves the solution as it is
  if (eliminate() == 0) return false;
  // With D the last pivot, y = D x is integral (Cramer's rule) and the echelon
  // rows give y back to front with exact divisions:
  //   y_i = (D c_i - sum_{j > i} u_ij y_j) / u_ii.
  mpz_srcptr d = at(n - 1, n - 1);
  if (y_.size() < static_cast<size_t>(n)) y_.resize(static_cast<size_t>(n));
  mpz_set(y_[static_cast<size_t>(n - 1)].get(), at(n - 1, n));
  for (int64_t i = n - 2; i >= 0; --i) {
    mpz_mul(t_.get(), d, at(i, n));
    for (int64_t j = i + 1; j < n; ++j) mpz_submul(t_.get(), at(i, j), y_[static_cast<size_t>(j)].get());
    mpz_divexact(y_[static_cast<size_t>(i)].get(), t_.get(), at(i, i));
  }
  if (x.size() < static_cast<size_t>(n)) x.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    ExactFraction& xi = x[static_cast<size_t>(i)];
    mpz_set(xi.num.get(), y_[static_cast<size_t>(i)].get());
    mpz_set(xi.den.get(), d);
    lowest_terms(xi);
  }
  return true;
}

}  // namespace kalvex::linalg
