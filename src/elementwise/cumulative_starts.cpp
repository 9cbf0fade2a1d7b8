// The exact host pass over block totals (NOTE: [Running values in blocks of 32]).
#include <gmp.h>

#include <memory>
#include <vector>

#include "core/construct.h"
#include "core/host_mod.h"
#include "core/kernels/residue_ops.h"
#include "core/modmath.h"
#include "elementwise/cumulative_starts.h"
#include "reconstruct/rational.h"

namespace kalvex {

namespace {

// For a shared denominator d: per common factor g of the running numerator
// and d, the residues of 1/g and of d/g (a handful of g values recur; for
// float captures g is a power of two).
struct FactorResidues {
  BigInt g;
  std::vector<int64_t> inverse;  // 0 in a row where g has no inverse
  std::vector<int64_t> reduced_den;
};

class StartPass {
 public:
  StartPass(Running kind, const BlockTotals& totals, const CrtBasis& basis, int64_t* start_num, int64_t* start_den)
      : kind_(kind), t_(totals), basis_(basis), reader_(basis), start_num_(start_num), start_den_(start_den),
        c_num_(totals.rows), c_den_(totals.rows) {
    const int64_t empty = kind == Running::Sum ? 0 : 1;
    mpq_set_si(value_.get(), empty, 1);
    for (int64_t r = 0; r < t_.rows; ++r) set_start(r, 0, empty, 1);
    if (t_.sums != nullptr) prepare_shared();
  }

  void run() {
    for (int64_t b = 0; b + 1 < t_.blocks; ++b) {
      if (exact_ && (shared_ ? advance_shared(b) : advance_general(b))) continue;
      exact_ = false;
      combine_residues(b);
      for (int64_t r = 0; r < t_.rows; ++r) set_start(r, b + 1, c_num_[r], c_den_[r]);
    }
  }

 private:
  int64_t prime(int64_t r) const { return basis_.primes[static_cast<size_t>(r)]; }

  void set_start(int64_t r, int64_t b, int64_t num, int64_t den) {
    start_num_[r * t_.blocks + b] = num;
    start_den_[r * t_.blocks + b] = den;
  }

  void total_residues(int64_t r, int64_t b, int64_t& tn, int64_t& td) const {
    const int64_t i = r * t_.blocks + b;
    if (t_.sums == nullptr) {
      tn = t_.num[i];
      td = t_.den[i];
      return;
    }
    tn = mul_mod(d31_[r], t_.sums[i], Modulus(prime(r)));
    td = d32_[r];
  }

  // c = start(b) (+) total(b), residue by residue: what the reduction at
  // the end of block b is given.
  void combine_residues(int64_t b) {
    for (int64_t r = 0; r < t_.rows; ++r) {
      const Modulus m(prime(r));
      const int64_t i = r * t_.blocks + b;
      const int64_t an = start_num_[i], ad = start_den_[i];
      int64_t tn, td;
      total_residues(r, b, tn, td);
      double n = as_double(an), d = as_double(ad);
      if (kind_ == Running::Sum) {
        AddOp::fold(n, d, as_double(tn), as_double(td), m);
      } else {
        MulOp::fold(n, d, as_double(tn), as_double(td), m);
      }
      c_num_[r] = as_residue(n);
      c_den_[r] = as_residue(d);
    }
  }

  // The value of a pair bounded by `bounds`, when it reads back, into `out` in lowest terms.
  bool read_value(const int64_t* num, const int64_t* den, int64_t stride, const BitBounds& bounds, mpq_ptr out) {
    reader_.read(num, stride, den, stride, static_cast<size_t>(t_.rows), bounds);
    const BigInt& n = reader_.num();
    const BigInt& d = reader_.den();
    if (!reader_.readable() || d.sign() == 0) return false;
    mpz_set(mpq_numref(out), n.get());
    mpz_set(mpq_denref(out), d.get());
    mpq_canonicalize(out);
    return true;
  }

  // A signed literal reading with this bound on its size is the integer itself.
  static bool genuine(mpz_srcptr v, int64_t bound) {
    return bit_length(v) <= static_cast<int64_t>(kGenuineBits) || in_range(bound);
  }

  bool fits(mpz_srcptr num, mpz_srcptr den) const {
    return mpz_cmpabs(num, basis_.half.get()) <= 0 && mpz_cmp(den, basis_.half.get()) <= 0;
  }

  void set_exact_start(int64_t b) {
    for (int64_t r = 0; r < t_.rows; ++r) {
      const auto p = static_cast<unsigned long>(prime(r));
      set_start(r, b, static_cast<int64_t>(mpz_fdiv_ui(mpq_numref(value_.get()), p)),
                static_cast<int64_t>(mpz_fdiv_ui(mpq_denref(value_.get()), p)));
    }
  }

  // start(b + 1) from the exact value of total(b), or else from what the
  // reduction reads in c; false where neither gives a value within range.
  bool advance_general(int64_t b) {
    const BitBounds total_bits = kind_ == Running::Sum ? sum_of_bounds(t_.element_bits, kRunningBlock)
                                                       : product_of_bounds(t_.element_bits, kRunningBlock);
    const bool total_read =
        t_.sums == nullptr && read_value(t_.num + b, t_.den + b, t_.blocks, total_bits, term_.get());
    if (total_read) {
      if (kind_ == Running::Sum) {
        mpq_add(term_.get(), value_.get(), term_.get());
      } else {
        mpq_mul(term_.get(), value_.get(), term_.get());
      }
    } else {
      combine_residues(b);
      const BitBounds start_bits{value_bound(mpq_numref(value_.get())), value_bound(mpq_denref(value_.get())),
                                 value_floor(mpq_numref(value_.get())), value_floor(mpq_denref(value_.get()))};
      const BitBounds c_bits = kind_ == Running::Sum ? sum_bounds(start_bits, total_bits)
                                                     : product_bounds(start_bits, total_bits);
      if (!read_value(c_num_.data(), c_den_.data(), 1, c_bits, term_.get())) return false;
    }
    if (!fits(mpq_numref(term_.get()), mpq_denref(term_.get()))) return false;
    mpq_swap(value_.get(), term_.get());
    set_exact_start(b + 1);
    return true;
  }

  // ---- sums over a shared denominator: value = u / d ------------------------------

  void prepare_shared() {
    d31_.resize(t_.rows);
    d32_.resize(t_.rows);
    d_residues_.assign(t_.shared_den, t_.shared_den + t_.rows);
    for (int64_t r = 0; r < t_.rows; ++r) {
      const Modulus m(prime(r));
      int64_t power = 1;
      for (int64_t k = 1; k < kRunningBlock; ++k) power = mul_mod(power, d_residues_[r], m);
      d31_[r] = power;
      d32_[r] = mul_mod(power, d_residues_[r], m);
    }
    crt_unsigned(basis_, t_.shared_den, 1, static_cast<size_t>(t_.rows), d_.get());
    make_signed(basis_, d_.get());
    // A denominator that does not read as a genuine positive value (zero,
    // overflowed) leaves the general form to decide.
    shared_ = mpz_sgn(d_.get()) > 0 && genuine(d_.get(), t_.element_bits.den);
    u_residues_.assign(t_.rows, 0);
  }

  const FactorResidues& factor(mpz_srcptr g) {
    for (const auto& f : factors_)
      if (mpz_cmp(f->g.get(), g) == 0) return *f;
    constexpr size_t kCapacity = 64;
    if (factors_.size() == kCapacity) factors_.erase(factors_.begin());
    auto f = std::make_unique<FactorResidues>();
    mpz_set(f->g.get(), g);
    BigInt reduced;
    mpz_divexact(reduced.get(), d_.get(), g);
    for (int64_t r = 0; r < t_.rows; ++r) {
      const auto p = static_cast<unsigned long>(prime(r));
      f->inverse.push_back(inverse_mod(static_cast<int64_t>(mpz_fdiv_ui(g, p)), prime(r)));
      f->reduced_den.push_back(static_cast<int64_t>(mpz_fdiv_ui(reduced.get(), p)));
    }
    factors_.push_back(std::move(f));
    return *factors_.back();
  }

  bool advance_shared(int64_t b) {
    crt_unsigned(basis_, t_.sums + b, t_.blocks, static_cast<size_t>(t_.rows), s_.get());
    make_signed(basis_, s_.get());
    if (!genuine(s_.get(), shared_denominator_sum_bounds(t_.element_bits, kRunningBlock).num)) {
      // Not a genuine sum: the general form takes over from the exact value.
      mpz_set(mpq_numref(value_.get()), u_.get());
      mpz_set(mpq_denref(value_.get()), d_.get());
      mpq_canonicalize(value_.get());
      shared_ = false;
      return advance_general(b);
    }
    mpz_add(u_.get(), u_.get(), s_.get());
    for (int64_t r = 0; r < t_.rows; ++r)
      u_residues_[r] = as_residue(add_mod_d(as_double(u_residues_[r]), as_double(t_.sums[r * t_.blocks + b]),
                                            Modulus(prime(r))));
    mpz_gcd(g_.get(), u_.get(), d_.get());
    const FactorResidues& f = factor(g_.get());
    if (bit_length(u_.get()) > static_cast<int64_t>(kGenuineBits)) {
      mpz_divexact(s_.get(), u_.get(), g_.get());
      if (mpz_cmpabs(s_.get(), basis_.half.get()) > 0) return false;
    }
    mpz_divexact(s_.get(), u_.get(), g_.get());
    for (int64_t r = 0; r < t_.rows; ++r) {
      // (u / g) mod p from u mod p where g is invertible there.
      const int64_t num = f.inverse[r] != 0
                              ? mul_mod(u_residues_[r], f.inverse[r], Modulus(prime(r)))
                              : static_cast<int64_t>(mpz_fdiv_ui(s_.get(), static_cast<unsigned long>(prime(r))));
      set_start(r, b + 1, num, f.reduced_den[r]);
    }
    return true;
  }

  Running kind_;
  const BlockTotals& t_;
  const CrtBasis& basis_;
  FractionReader reader_;
  int64_t* start_num_;
  int64_t* start_den_;
  std::vector<int64_t> c_num_, c_den_;
  BigRational value_, term_;
  bool exact_ = true;

  bool shared_ = false;
  BigInt d_, u_, s_, g_;
  std::vector<int64_t> d_residues_, d31_, d32_, u_residues_;
  std::vector<std::unique_ptr<FactorResidues>> factors_;
};

}  // namespace

void block_starts(Running kind, const BlockTotals& totals, const CrtBasis& basis, int64_t* start_num,
                  int64_t* start_den) {
  if (totals.blocks == 0) return;
  StartPass pass(kind, totals, basis, start_num, start_den);
  pass.run();
}

}  // namespace kalvex
