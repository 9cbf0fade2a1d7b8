// The exact host pass over block totals (NOTE: [Running values in blocks of 32]).
#include <gmp.h>

#include <vector>

#include "core/modmath.h"
#include "elementwise/cumulative_parts.h"
#include "reconstruct/rational.h"

namespace kalvex {

namespace {

// Reads with both halves of at most this many bits are genuine (NOTE: [Robust read-back]).
constexpr size_t kTrustedBits = 555;

size_t bit_length(mpz_srcptr v) { return mpz_sgn(v) == 0 ? 0 : mpz_sizeinbase(v, 2); }

// The running value and the residues of the value each block starts from.
class StartPass {
 public:
  StartPass(Running kind, const BlockTotals& totals, const CrtBasis& basis, int64_t* start_num, int64_t* start_den)
      : kind_(kind), t_(totals), basis_(basis), reader_(basis), start_num_(start_num), start_den_(start_den),
        c_num_(totals.rows), c_den_(totals.rows) {
    mpq_init(value_);
    mpq_init(term_);
    mpq_set_si(value_, kind == Running::Sum ? 0 : 1, 1);
    for (int64_t r = 0; r < t_.rows; ++r) set_start(r, 0, kind == Running::Sum ? 0 : 1, 1);
  }
  ~StartPass() {
    mpq_clear(value_);
    mpq_clear(term_);
  }
  StartPass(const StartPass&) = delete;
  StartPass& operator=(const StartPass&) = delete;

  void run() {
    for (int64_t b = 0; b + 1 < t_.blocks; ++b) {
      combine_residues(b);
      if (!exact_ || !advance_exactly(b)) carry_pair(b + 1);
    }
  }

 private:
  void set_start(int64_t r, int64_t b, int64_t num, int64_t den) {
    start_num_[r * t_.blocks + b] = num;
    start_den_[r * t_.blocks + b] = den;
  }

  // c = start(b) (+) total(b), residue by residue.
  void combine_residues(int64_t b) {
    for (int64_t r = 0; r < t_.rows; ++r) {
      const Modulus m(basis_.primes[static_cast<size_t>(r)]);
      const int64_t i = r * t_.blocks + b;
      const int64_t an = start_num_[i], ad = start_den_[i], tn = t_.num[i], td = t_.den[i];
      if (kind_ == Running::Sum) {
        c_num_[r] = as_residue(add_mod_d(mul_mod_d(as_double(an), as_double(td), m),
                                         mul_mod_d(as_double(ad), as_double(tn), m), m));
      } else {
        c_num_[r] = mul_mod(an, tn, m);
      }
      c_den_[r] = mul_mod(ad, td, m);
    }
  }

  // The reader's value, when it is genuine, into `out` in lowest terms.
  bool read_genuine(const int64_t* num, const int64_t* den, int64_t stride, mpq_ptr out) {
    reader_.read(num, stride, den, stride, static_cast<size_t>(t_.rows));
    const BigInt& n = reader_.num();
    const BigInt& d = reader_.den();
    if (d.sign() == 0 || bit_length(n.get()) > kTrustedBits || bit_length(d.get()) > kTrustedBits) return false;
    mpz_set(mpq_numref(out), n.get());
    mpz_set(mpq_denref(out), d.get());
    mpq_canonicalize(out);
    return true;
  }

  bool fits(mpq_srcptr v) const {
    return mpz_cmpabs(mpq_numref(v), basis_.half.get()) <= 0 && mpz_cmp(mpq_denref(v), basis_.half.get()) <= 0;
  }

  // The exact start of block b + 1; false (leaving exact mode) where the
  // value has no reduced form within the range.
  bool advance_exactly(int64_t b) {
    if (read_genuine(t_.read_num + b, t_.read_den + b, t_.blocks, term_)) {
      if (kind_ == Running::Sum) {
        mpq_add(term_, value_, term_);
      } else {
        mpq_mul(term_, value_, term_);
      }
    } else if (!read_genuine(c_num_.data(), c_den_.data(), 1, term_)) {
      exact_ = false;
      return false;
    }
    if (!fits(term_)) {
      exact_ = false;
      return false;
    }
    mpq_swap(value_, term_);
    for (int64_t r = 0; r < t_.rows; ++r) {
      const unsigned long p = static_cast<unsigned long>(basis_.primes[static_cast<size_t>(r)]);
      set_start(r, b + 1, static_cast<int64_t>(mpz_fdiv_ui(mpq_numref(value_), p)),
                static_cast<int64_t>(mpz_fdiv_ui(mpq_denref(value_), p)));
    }
    return true;
  }

  void carry_pair(int64_t b) {
    for (int64_t r = 0; r < t_.rows; ++r) set_start(r, b, c_num_[r], c_den_[r]);
  }

  Running kind_;
  const BlockTotals& t_;
  const CrtBasis& basis_;
  FractionReader reader_;
  int64_t* start_num_;
  int64_t* start_den_;
  std::vector<int64_t> c_num_, c_den_;
  mpq_t value_, term_;
  bool exact_ = true;
};

}  // namespace

void block_starts(Running kind, const BlockTotals& totals, const CrtBasis& basis, int64_t* start_num,
                  int64_t* start_den) {
  if (totals.blocks == 0) return;
  StartPass pass(kind, totals, basis, start_num, start_den);
  pass.run();
}

}  // namespace kalvex
