#pragma once
// Host big integers: a small RAII owner of a GMP integer and the few exact
// operations the library needs on them.
#include <gmp.h>

#include <cstdint>
#include <utility>

namespace kalvex {

class BigInt {
 public:
  BigInt() { mpz_init(v_); }
  explicit BigInt(long value) { mpz_init_set_si(v_, value); }
  static BigInt from_int64(int64_t value);
  BigInt(const BigInt& other) { mpz_init_set(v_, other.v_); }
  BigInt(BigInt&& other) noexcept { mpz_init(v_); mpz_swap(v_, other.v_); }
  BigInt& operator=(const BigInt& other) {
    if (this != &other) mpz_set(v_, other.v_);
    return *this;
  }
  BigInt& operator=(BigInt&& other) noexcept {
    mpz_swap(v_, other.v_);
    return *this;
  }
  ~BigInt() { mpz_clear(v_); }

  mpz_ptr get() { return v_; }
  mpz_srcptr get() const { return v_; }

  int sign() const { return mpz_sgn(v_); }
  size_t bit_length() const { return sign() == 0 ? 0 : mpz_sizeinbase(v_, 2); }
  bool fits_int64() const;
  int64_t to_int64() const;  // only when fits_int64()

  // The floor residue in [0, p), as Python's % gives it.
  int64_t mod(int64_t p) const { return static_cast<int64_t>(mpz_fdiv_ui(v_, static_cast<unsigned long>(p))); }

 private:
  mpz_t v_;
};

// An owned GMP rational (not copyable; mpq_swap moves values between them).
class BigRational {
 public:
  BigRational() { mpq_init(v_); }
  BigRational(const BigRational&) = delete;
  BigRational& operator=(const BigRational&) = delete;
  ~BigRational() { mpq_clear(v_); }

  mpq_ptr get() { return v_; }
  mpq_srcptr get() const { return v_; }

 private:
  mpq_t v_;
};

// Bit lengths of |v|, 0 for 0, as Python's int.bit_length().
inline int64_t bit_length(mpz_srcptr v) { return mpz_sgn(v) == 0 ? 0 : static_cast<int64_t>(mpz_sizeinbase(v, 2)); }
inline int64_t bit_length(int64_t v) {
  const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  return mag == 0 ? 0 : 64 - __builtin_clzll(mag);
}

// Python's int / int: the double nearest to the exact quotient (round half to
// even, subnormals included).  Throws ZeroDivision for b == 0 and Overflow when
// the rounded quotient exceeds the double range, with Python's messages.
double true_divide(const BigInt& a, const BigInt& b);

}  // namespace kalvex
