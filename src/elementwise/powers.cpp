#include "elementwise/powers.h"

#include <ATen/ATen.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/arith.h"
#include "core/basis.h"
#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/standard_basis.h"
#include "elementwise/kernels.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"

namespace kalvex {

namespace {

// Powers are written out exactly up to this many bits; beyond, the residues
// come from modular powers and the approximation from logarithms.
constexpr size_t kWrittenOutBits = size_t{1} << 16;

RationalTensor ones(at::IntArrayRef shape, at::Device device, const at::Tensor& primes) {
  return from_fraction(1, 1, shape, device);
}

bool is_one_element_shape(at::IntArrayRef shape) { return shape.empty() || (shape.size() == 1 && shape[0] == 1); }

// |a/b|^n as a double (b > 0), saturating to inf and 0: n * ln|a/b|, with
// log1p near 1 so that huge n keep the relative precision.
double magnitude_of_power(const Fraction& v, const BigInt& n) {
  if (v.num.sign() == 0) return 0.0;
  BigInt magnitude, diff;
  mpz_abs(magnitude.get(), v.num.get());
  double log_value;
  long num_exp, den_exp;
  const double num_mant = mpz_get_d_2exp(&num_exp, magnitude.get());
  const double den_mant = mpz_get_d_2exp(&den_exp, v.den.get());
  if (std::abs(num_exp - den_exp) <= 1) {
    mpz_sub(diff.get(), magnitude.get(), v.den.get());
    log_value = std::log1p(true_divide(diff, v.den));
  } else {
    log_value = std::log(num_mant / den_mant) + static_cast<double>(num_exp - den_exp) * std::log(2.0);
  }
  if (log_value == 0.0) return 1.0;  // |a/b| = 1, whatever the size of n
  return std::exp(mpz_get_d(n.get()) * log_value);
}

// (a/b)^n of a value in lowest terms, n >= 2.
RationalTensor exact_power(const Fraction& v, const BigInt& n, at::IntArrayRef shape, at::Device device,
                           const at::Tensor& primes) {
  const bool negative = v.num.sign() < 0 && mpz_odd_p(n.get());
  const size_t bits = std::max<size_t>(std::max(v.num.bit_length(), v.den.bit_length()), 1);
  if (mpz_cmp_ui(n.get(), kWrittenOutBits / bits) <= 0) {
    const unsigned long e = mpz_get_ui(n.get());
    BigInt num, den;
    mpz_pow_ui(num.get(), v.num.get(), e);
    mpz_pow_ui(den.get(), v.den.get(), e);
    return from_value(num, den, shape, device);
  }
  Residues num, den;
  BigInt base, modulus, r;
  for (int i = 0; i < kNumPrimes; ++i) {
    mpz_set_si(modulus.get(), static_cast<long>(kStandardPrimes[i]));
    mpz_powm(r.get(), v.num.get(), n.get(), modulus.get());
    num[i] = static_cast<int64_t>(mpz_get_ui(r.get()));
    mpz_powm(r.get(), v.den.get(), n.get(), modulus.get());
    den[i] = static_cast<int64_t>(mpz_get_ui(r.get()));
  }
  const double magnitude = magnitude_of_power(v, n);
  // Far beyond any read-back: the sizes are not worth bounding.
  return filled_value(num, den, negative ? -magnitude : magnitude, BitBounds{}, shape, device);
}

RationalTensor simplified_or_same(const RationalTensor& t, at::Device device, const at::Tensor& primes) {
  c10::optional<RationalTensor> rebuilt = simplified(t, t.shape(), device);
  return rebuilt ? *rebuilt : t;
}

// The chain itself, for values whose outcome is not known in advance.  The
// squaring after the last set bit is left out: its result is never used.
RationalTensor literal_chain(const RationalTensor& x, const BigInt& exponent, at::IntArrayRef shape,
                             at::Device device, const at::Tensor& primes) {
  RationalTensor result = ones(shape, device, primes);
  RationalTensor base = x;
  BigInt n = exponent;
  while (n.sign() > 0) {
    if (mpz_odd_p(n.get())) result = simplified_or_same(binary(BinaryOp::Mul, result, base), device, primes);
    mpz_fdiv_q_2exp(n.get(), n.get(), 1);
    if (n.sign() > 0) base = simplified_or_same(binary(BinaryOp::Mul, base, base), device, primes);
  }
  return result;
}

// The residue-wise power of a tensor that simplify leaves alone.
RationalTensor residue_power(const RationalTensor& x, uint64_t n, at::IntArrayRef shape, at::Device device,
                             const at::Tensor& primes) {
  auto out = kernels::run(PowerOp{n}, {x.num, x.denom}, prime_column(primes, x.num.dim()));
  c10::optional<at::Tensor> approx;
  if (x.approx) {
    at::Tensor result = filled_approx(1.0, shape, device);
    at::Tensor base = *x.approx;
    for (uint64_t bits = n; bits != 0; bits >>= 1) {
      if (bits & 1) result = combine_approx(BinaryOp::Mul, result, base);
      if (bits > 1) base = combine_approx(BinaryOp::Mul, base, base);
    }
    approx = result;
  }
  RationalTensor result{std::move(out[0]), std::move(out[1]), primes, std::move(approx)};
  result.bits = product_of_bounds(x.bits, static_cast<int64_t>(std::min<uint64_t>(n, kUnknownBound)));
  return result;
}

RationalTensor positive_power(const RationalTensor& x, const BigInt& n, at::IntArrayRef shape, at::Device device,
                              const at::Tensor& primes) {
  if (is_one_element_shape(shape)) {
    if (c10::optional<Fraction> value = value_of(x)) return exact_power(*value, n, shape, device, primes);
    return literal_chain(x, n, shape, device, primes);
  }
  if (mpz_sizeinbase(n.get(), 2) <= 64) {
    uint64_t e = 0;
    mpz_export(&e, nullptr, 1, sizeof(e), 0, 0, n.get());
    return residue_power(x, e, shape, device, primes);
  }
  return literal_chain(x, n, shape, device, primes);
}

}  // namespace

c10::optional<RationalTensor> power(const RationalTensor& x, const BigInt& n, at::IntArrayRef shape,
                                    at::Device device) {
  const at::Tensor primes = standard_primes(device);
  if (n.sign() == 0) return ones(shape, device, primes);
  if (mpz_cmp_ui(n.get(), 1) == 0) return c10::nullopt;
  // Every product of the chain starts from ones, in the standard basis.
  check_operands(RationalTensor{primes, primes, primes, c10::nullopt}, x);
  if (n.sign() > 0) return positive_power(x, n, shape, device, primes);
  BigInt magnitude;
  mpz_neg(magnitude.get(), n.get());
  const RationalTensor divisor =
      mpz_cmp_ui(magnitude.get(), 1) == 0 ? x : positive_power(x, magnitude, shape, device, primes);
  return binary(BinaryOp::Div, ones(shape, device, primes), divisor);
}

}  // namespace kalvex
