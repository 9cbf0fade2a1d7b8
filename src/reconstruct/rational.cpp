#include "reconstruct/rational.h"

#include <cmath>

#include "core/host_mod.h"

namespace kalvex {

namespace {

constexpr unsigned kMarginBits = 64;
// A candidate can pass the margin test only if its partial quotient is at
// least 2^63: with (r_k, t_k) the pair before q_k, M < 2 (q_k + 1) r_k |t_k|.
constexpr unsigned long kSmallestUseful = (1UL << 63) - 1;



// (x * y) mod p for x, y in [0, p).
uint64_t mul_mod(uint64_t x, uint64_t y, uint64_t p) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(x) * y % p);
}

// a * d == b * n modulo p, with n, d stored residues of any int64 value.
bool congruent_mod(mpz_srcptr a, mpz_srcptr b, int64_t n, int64_t d, int64_t p) {
  const auto up = static_cast<uint64_t>(p);
  const uint64_t ap = mpz_fdiv_ui(a, up), bp = mpz_fdiv_ui(b, up);
  return mul_mod(ap, static_cast<uint64_t>(floor_mod(d, p)), up) ==
         mul_mod(bp, static_cast<uint64_t>(floor_mod(n, p)), up);
}

}  // namespace

void FractionReader::read(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride,
                          size_t count, const BitBounds& bounds) {
  small_ = small_integer(basis_, num, num_stride, count, small_num_) &&
           small_integer(basis_, den, den_stride, count, small_den_) && small_den_ != 0;
  if (small_) {  // the literal pair, read the short way
    mpz_set_si(num_.get(), static_cast<long>(small_num_));
    mpz_set_si(den_.get(), static_cast<long>(small_den_));
    reading_ = Reading::Literal;
  } else {
    crt_unsigned(basis_, num, num_stride, count, num_.get());
    make_signed(basis_, num_.get());
    crt_unsigned(basis_, den, den_stride, count, den_.get());
    make_signed(basis_, den_.get());
    if (den_.sign() != 0 && num_.bit_length() <= kGenuineBits && den_.bit_length() <= kGenuineBits) {
      reading_ = Reading::Literal;
    } else if (reconstructed(num, num_stride, den, den_stride, count)) {
      reading_ = Reading::Reconstructed;
    } else {
      reading_ = in_range(bounds) ? Reading::InRange : Reading::Unreadable;
    }
  }
  if (reading_ != Reading::Unreadable && !within_sizes(bounds)) reading_ = Reading::Unreadable;
  small_ = small_ && reading_ != Reading::Unreadable;
}

// Whether the reading agrees with the lower bounds of the sizes (NOTE: [Size
// bounds]): |N / D| lies between 2^(floor N - bound D) and 2^(bound N -
// floor D), and a half with a lower bound is not 0.
bool FractionReader::within_sizes(const BitBounds& bounds) const {
  const bool num_floor = bounds.num_floor != kNoFloor, den_floor = bounds.den_floor != kNoFloor;
  if (!num_floor && !den_floor) return true;
  if (den_.sign() == 0) return !den_floor;
  if (num_.sign() == 0) return !num_floor;
  long num_exp, den_exp;
  const double num_mant = std::fabs(mpz_get_d_2exp(&num_exp, num_.get()));
  const double den_mant = std::fabs(mpz_get_d_2exp(&den_exp, den_.get()));
  const double log_ratio = static_cast<double>(num_exp - den_exp) + std::log2(num_mant) - std::log2(den_mant);
  // The mantissas are truncated to 53 bits, and a constructor's value just
  // below M // 2 carries the bound kRangeBound, a thousandth of a bit short.
  constexpr double kSlack = 4.0 / kBoundUnit;
  const double unit = static_cast<double>(kBoundUnit);
  if (num_floor && bounds.den < kUnknownBound &&
      log_ratio < static_cast<double>(bounds.num_floor - bounds.den) / unit - kSlack)
    return false;
  if (den_floor && bounds.num < kUnknownBound &&
      log_ratio > static_cast<double>(bounds.num - bounds.den_floor) / unit + kSlack)
    return false;
  return true;
}

// Step 2 of NOTE: [Robust read-back]; on acceptance the fraction replaces the literal pair.
bool FractionReader::reconstructed(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride,
                                   size_t count) {
  if (count < basis_.primes.size()) return false;  // missing denominator residues read as 0
  if (!invert_residues(num, num_stride, den, den_stride)) return false;
  crt_unsigned(basis_, x_residues_.data(), 1, x_residues_.size(), x_.get());
  // x is congruent to N / D on S (0 elsewhere); reduced modulo M_S it is x on S alone.
  mpz_srcptr modulus = basis_.modulus.get();
  if (mpz_cmp(m_s_.get(), modulus) != 0) {
    mpz_fdiv_r(x_.get(), x_.get(), m_s_.get());
    modulus = m_s_.get();
  }
  if (!reconstruct(x_.get(), modulus)) return false;
  if (!explains(num, num_stride, den, den_stride)) return false;
  mpz_swap(num_.get(), best_r_.get());
  mpz_swap(den_.get(), best_t_.get());
  return true;
}

// x = N * D^-1 on S, the primes where D's residue is invertible, 0 elsewhere;
// M_S their product.  False when S is empty.
bool FractionReader::invert_residues(const int64_t* num, int64_t num_stride, const int64_t* den,
                                     int64_t den_stride) {
  const size_t n = basis_.primes.size();
  bool any = false, all = true;
  for (size_t i = 0; i < n; ++i) {
    const int64_t p = basis_.primes[i];
    const auto row = static_cast<int64_t>(i);
    const int64_t d = floor_mod(den[row * den_stride], p);
    const int64_t inv = d == 0 ? 0 : inverse_mod(d, p);
    in_s_[i] = inv != 0;
    any |= inv != 0;
    all &= inv != 0;
    x_residues_[i] = inv == 0 ? 0
                              : static_cast<int64_t>(mul_mod(static_cast<uint64_t>(floor_mod(num[row * num_stride], p)),
                                                             static_cast<uint64_t>(inv), static_cast<uint64_t>(p)));
  }
  if (all) {
    mpz_set(m_s_.get(), basis_.modulus.get());
  } else {
    mpz_set_ui(m_s_.get(), 1);
    for (size_t i = 0; i < n; ++i)
      if (in_s_[i]) mpz_mul_ui(m_s_.get(), m_s_.get(), static_cast<unsigned long>(basis_.primes[i]));
  }
  return any;
}

// Maximal-quotient rational reconstruction of x modulo `modulus`; on
// acceptance (coprime, within the margin) the fraction is left in best_r_ /
// best_t_ with a positive denominator.
bool FractionReader::reconstruct(mpz_srcptr x, mpz_srcptr modulus) {
  if (mpz_sgn(x) == 0) {  // Euclid has no step to take: the candidate is 0/1
    mpz_set_ui(best_r_.get(), 0);
    mpz_set_ui(best_t_.get(), 1);
    return true;
  }
  mpz_set(r0_.get(), modulus);
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
  return mpz_cmp(tmp_.get(), modulus) < 0;
}

// The candidate a / b in best_r_ / best_t_ against what reconstruction did not
// use: the rows outside S, and the halves of the literal pair (num_, den_)
// small enough to be genuine.
bool FractionReader::explains(const int64_t* num, int64_t num_stride, const int64_t* den, int64_t den_stride) {
  for (size_t i = 0; i < basis_.primes.size(); ++i) {
    if (in_s_[i]) continue;
    const auto row = static_cast<int64_t>(i);
    if (!congruent_mod(best_r_.get(), best_t_.get(), num[row * num_stride], den[row * den_stride],
                       basis_.primes[i]))
      return false;
  }
  if (num_.bit_length() <= kGenuineBits && !mpz_divisible_p(num_.get(), best_r_.get())) return false;
  if (den_.bit_length() <= kGenuineBits && !mpz_divisible_p(den_.get(), best_t_.get())) return false;
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

bool congruent(const CrtBasis& basis, const BigInt& a, const BigInt& b, const int64_t* num, int64_t num_stride,
               const int64_t* den, int64_t den_stride) {
  for (size_t i = 0; i < basis.primes.size(); ++i) {
    const auto row = static_cast<int64_t>(i);
    if (!congruent_mod(a.get(), b.get(), num[row * num_stride], den[row * den_stride], basis.primes[i]))
      return false;
  }
  return true;
}

}  // namespace kalvex
