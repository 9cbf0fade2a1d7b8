#include "reconstruct/rational.h"

namespace kalvex {

namespace {

constexpr size_t kLiteralBits = 555;  // see NOTE: [Robust read-back]
constexpr unsigned kMarginBits = 64;
// A candidate can pass the margin test only if its partial quotient is at
// least 2^63: with (r_k, t_k) the pair before q_k, M < 2 (q_k + 1) r_k |t_k|.
constexpr unsigned long kSmallestUseful = (1UL << 63) - 1;

// a^-1 mod p for 0 < a < p, or 0 when gcd(a, p) != 1.
int64_t inverse_mod(int64_t a, int64_t p) {
  int64_t r0 = p, r1 = a, t0 = 0, t1 = 1;
  while (r1 != 0) {
    const int64_t q = r0 / r1;
    int64_t r = r0 - q * r1;
    r0 = r1;
    r1 = r;
    int64_t t = t0 - q * t1;
    t0 = t1;
    t1 = t;
  }
  if (r0 != 1) return 0;
  return t0 < 0 ? t0 + p : t0;
}

int64_t floor_mod(int64_t value, int64_t p) {
  const int64_t r = value % p;
  return r < 0 ? r + p : r;
}

}  // namespace

void FractionReader::read(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride,
                          size_t count) {
  crt_unsigned(basis_, num, num_stride, count, num_.get());
  make_signed(basis_, num_.get());
  crt_unsigned(basis_, den, den_stride, count, den_.get());
  make_signed(basis_, den_.get());
  if (den_.sign() != 0 && (num_.bit_length() <= kLiteralBits || den_.bit_length() <= kLiteralBits)) return;
  if (!invert_residues(num, num_stride, den, den_stride, count)) return;
  crt_unsigned(basis_, x_residues_.data(), 1, x_residues_.size(), x_.get());
  reconstruct(x_.get());
}

// x = N * D^-1 residue by residue; false when some D residue has no inverse.
bool FractionReader::invert_residues(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride,
                                     size_t count) {
  const size_t n = basis_.primes.size();
  if (count < n) return false;  // missing denominator residues read as 0
  for (size_t i = 0; i < n; ++i) {
    const int64_t p = basis_.primes[i];
    const auto row = static_cast<int64_t>(i);
    const int64_t d = floor_mod(den[row * den_stride], p);
    if (d == 0) return false;
    const int64_t inv = inverse_mod(d, p);
    if (inv == 0) return false;
    const auto product = static_cast<unsigned __int128>(floor_mod(num[row * num_stride], p)) * static_cast<uint64_t>(inv);
    x_residues_[i] = static_cast<int64_t>(product % static_cast<uint64_t>(p));
  }
  return true;
}

// Maximal-quotient rational reconstruction of x modulo M; on acceptance the
// fraction replaces num_ / den_.
bool FractionReader::reconstruct(mpz_srcptr x) {
  mpz_set(r0_.get(), basis_.modulus.get());
  mpz_set(r1_.get(), x);
  mpz_set_ui(t0_.get(), 0);
  mpz_set_ui(t1_.get(), 1);
  mpz_set_ui(best_q_.get(), 0);
  while (mpz_sgn(r1_.get()) != 0) {
    // Every later quotient is at most r0: stop once none can win or pass.
    if (mpz_cmp_ui(r0_.get(), kSmallestUseful) <= 0 || mpz_cmp(r0_.get(), best_q_.get()) <= 0) break;
    mpz_tdiv_qr(q_.get(), tmp_.get(), r0_.get(), r1_.get());
    if (mpz_cmp(q_.get(), best_q_.get()) > 0) {
      mpz_set(best_q_.get(), q_.get());
      mpz_set(best_r_.get(), r1_.get());
      mpz_set(best_t_.get(), t1_.get());
    }
    mpz_swap(r0_.get(), r1_.get());
    mpz_swap(r1_.get(), tmp_.get());
    mpz_submul(t0_.get(), q_.get(), t1_.get());
    mpz_swap(t0_.get(), t1_.get());
  }
  if (mpz_cmp_ui(best_q_.get(), kSmallestUseful) <= 0) return false;

  if (mpz_sgn(best_t_.get()) < 0) {
    mpz_neg(best_t_.get(), best_t_.get());
    mpz_neg(best_r_.get(), best_r_.get());
  }
  mpz_gcd(tmp_.get(), best_r_.get(), best_t_.get());
  if (mpz_cmp_ui(tmp_.get(), 1) != 0) return false;
  mpz_mul(tmp_.get(), best_r_.get(), best_t_.get());
  mpz_abs(tmp_.get(), tmp_.get());
  mpz_mul_2exp(tmp_.get(), tmp_.get(), kMarginBits);
  if (mpz_cmp(tmp_.get(), basis_.modulus.get()) >= 0) return false;

  mpz_swap(num_.get(), best_r_.get());
  mpz_swap(den_.get(), best_t_.get());
  return true;
}

void reduce_fraction(BigInt& num, BigInt& den) {
  BigInt g;
  mpz_gcd(g.get(), num.get(), den.get());
  if (mpz_cmp_ui(g.get(), 1) > 0) {
    mpz_divexact(num.get(), num.get(), g.get());
    mpz_divexact(den.get(), den.get(), g.get());
  }
  if (den.sign() < 0) {
    mpz_neg(num.get(), num.get());
    mpz_neg(den.get(), den.get());
  }
}

}  // namespace kalvex
