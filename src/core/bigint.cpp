#include "core/bigint.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>

#include "core/errors.h"

namespace kalvex {

BigInt BigInt::from_int64(int64_t value) {
  BigInt r;
  if (value >= LONG_MIN && value <= LONG_MAX) {
    mpz_set_si(r.v_, static_cast<long>(value));
  } else {  // platforms where long is 32 bits
    const uint64_t mag = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    mpz_import(r.v_, 1, 1, sizeof(mag), 0, 0, &mag);
    if (value < 0) mpz_neg(r.v_, r.v_);
  }
  return r;
}

bool BigInt::fits_int64() const { return bit_length() <= 63; }

int64_t BigInt::to_int64() const {
  uint64_t mag = 0;
  mpz_export(&mag, nullptr, 1, sizeof(mag), 0, 0, v_);
  return sign() < 0 ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
}

namespace {

[[noreturn]] void quotient_overflow() {
  fail(ErrorKind::Overflow, "integer division result too large for a float");
}

}  // namespace

double true_divide(const BigInt& a, const BigInt& b) {
  if (b.sign() == 0) fail(ErrorKind::ZeroDivision, "division by zero");
  const bool negative = (a.sign() < 0) != (b.sign() < 0);
  if (a.sign() == 0) return negative ? -0.0 : 0.0;

  const int64_t a_bits = static_cast<int64_t>(a.bit_length());
  const int64_t b_bits = static_cast<int64_t>(b.bit_length());
  if (a_bits <= DBL_MANT_DIG && b_bits <= DBL_MANT_DIG) {
    // Both operands are exact doubles, so IEEE division rounds correctly.
    return mpz_get_d(a.get()) / mpz_get_d(b.get());
  }

  const int64_t diff = a_bits - b_bits;
  if (diff > DBL_MAX_EXP) quotient_overflow();
  if (diff < DBL_MIN_EXP - DBL_MANT_DIG - 1) return negative ? -0.0 : 0.0;

  // Scale |a| so that the integer quotient has DBL_MANT_DIG + 2 or + 3 bits
  // (fewer in the subnormal range), keeping a sticky bit for what was dropped.
  const int64_t shift = std::max<int64_t>(diff, DBL_MIN_EXP) - DBL_MANT_DIG - 2;
  BigInt x, rem, absb;
  mpz_abs(x.get(), a.get());
  mpz_abs(absb.get(), b.get());
  bool inexact = false;
  if (shift <= 0) {
    mpz_mul_2exp(x.get(), x.get(), static_cast<mp_bitcnt_t>(-shift));
  } else {
    inexact = mpz_scan1(x.get(), 0) < static_cast<mp_bitcnt_t>(shift);
    mpz_fdiv_q_2exp(x.get(), x.get(), static_cast<mp_bitcnt_t>(shift));
  }
  mpz_tdiv_qr(x.get(), rem.get(), x.get(), absb.get());
  if (mpz_sgn(rem.get()) != 0) inexact = true;

  const int64_t x_bits = static_cast<int64_t>(x.bit_length());  // at most DBL_MANT_DIG + 3
  const int64_t extra_bits = std::max<int64_t>(x_bits, DBL_MIN_EXP - shift) - DBL_MANT_DIG;
  uint64_t q = mpz_get_ui(x.get());
  const uint64_t mask = uint64_t{1} << (extra_bits - 1);
  const uint64_t low = q | (inexact ? 1 : 0);
  q = low;
  if ((low & mask) && (low & (3 * mask - 1))) q += mask;  // round half to even
  q &= ~(2 * mask - 1);

  const double dq = static_cast<double>(q);  // exact: at most DBL_MANT_DIG + 1 significant bits
  if (shift + x_bits >= DBL_MAX_EXP &&
      (shift + x_bits > DBL_MAX_EXP || dq == std::ldexp(1.0, static_cast<int>(x_bits)))) {
    quotient_overflow();
  }
  const double result = std::ldexp(dq, static_cast<int>(shift));
  return negative ? -result : result;
}

}  // namespace kalvex
