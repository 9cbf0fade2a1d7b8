#include "functional/series.h"

#include <utility>

#include "core/checks.h"
#include "functional/chain_value.h"
#include "functional/host_chain.h"
#include "functional/input_value.h"
#include "functional/tensor_chain.h"

namespace kalvex {

namespace {

// Each series is written once, over a chain of values: TensorChain steps on
// tensors (reducing one-element values after every step), HostChain on the
// one exact value of a one-element input.  Both take the same steps, so the
// values agree by construction.

void multiply(BigInt& value, int64_t factor) {
  mpz_mul_si(value.get(), value.get(), static_cast<long>(factor));
}

template <typename Chain, typename Value = typename Chain::Value>
Value exp_series(const Chain& c, Value x, int64_t terms) {
  x = c.simplify(std::move(x));
  Value result = c.integer(1), term = c.integer(1);
  const BigInt one(1);
  BigInt factorial(1);
  for (int64_t n = 1; n < terms; ++n) {
    term = c.mul(std::move(term), x);
    multiply(factorial, n);
    const auto& contribution = c.simplify(c.scaled(term, one, factorial));
    result = c.simplify(c.add(std::move(result), contribution));
  }
  return result;
}

// sin and cos: odd or even powers, starting from x or 1.
template <typename Chain, typename Value = typename Chain::Value>
Value sin_cos_series(const Chain& c, Value x, int64_t terms, bool odd) {
  x = c.simplify(std::move(x));
  Value result = c.integer(odd ? 0 : 1);
  const Value x_squared = c.mul(x, x);
  Value x_power = odd ? c.simplify(x) : c.integer(1);
  BigInt factorial(1);
  long sign = odd ? 1 : -1;
  for (int64_t n = odd ? 0 : 1; n < terms; ++n) {
    const int64_t k = odd ? 2 * n + 1 : 2 * n;
    if (n > 0) {
      multiply(factorial, k - 1);
      multiply(factorial, k);
      x_power = c.simplify(c.mul(std::move(x_power), x_squared));
    }
    const auto& contribution = c.simplify(c.scaled(x_power, BigInt(sign), factorial));
    result = c.simplify(c.add(std::move(result), contribution));
    sign = -sign;
  }
  return result;
}

template <typename Chain, typename Value = typename Chain::Value>
Value log1p_series(const Chain& c, Value x, int64_t terms) {
  x = c.simplify(std::move(x));
  Value result = c.integer(0);
  Value x_power = c.simplify(x);
  long sign = 1;
  for (int64_t n = 1; n <= terms; ++n) {
    const auto& contribution = c.simplify(c.scaled(x_power, BigInt(sign), BigInt::from_int64(n)));
    result = c.simplify(c.add(std::move(result), contribution));
    if (n < terms) x_power = c.simplify(c.mul(std::move(x_power), x));
    sign = -sign;
  }
  return result;
}

// C(1/2, n) = C(1/2, n - 1) * (3 - 2n) / (2n), kept in lowest terms.
template <typename Chain, typename Value = typename Chain::Value>
Value sqrt_series(const Chain& c, Value a, int64_t terms) {
  a = c.simplify(std::move(a));
  const Value one = c.integer(1);
  const Value x = c.sub(a, one);
  Value result = c.simplify(one), x_power = c.simplify(one);
  BigInt coeff_num(1), coeff_den(1), g;
  for (int64_t n = 1; n < terms; ++n) {
    multiply(coeff_num, 3 - 2 * n);
    multiply(coeff_den, 2 * n);
    mpz_gcd(g.get(), coeff_num.get(), coeff_den.get());
    mpz_divexact(coeff_num.get(), coeff_num.get(), g.get());
    mpz_divexact(coeff_den.get(), coeff_den.get(), g.get());
    x_power = c.simplify(c.mul(std::move(x_power), x));
    const auto& term = c.simplify(c.scaled(x_power, coeff_num, coeff_den));
    result = c.simplify(c.add(std::move(result), term));
  }
  return result;
}

template <typename Chain, typename Value = typename Chain::Value>
Value series_of(Series series, const Chain& c, const Value& x, int64_t terms) {
  switch (series) {
    case Series::Exp: return exp_series(c, x, terms);
    case Series::Sin: return sin_cos_series(c, x, terms, true);
    case Series::Cos: return sin_cos_series(c, x, terms, false);
    case Series::Log1p: return log1p_series(c, x, terms);
    case Series::Sqrt: return sqrt_series(c, x, terms);
  }
  return x;
}

}  // namespace

RationalTensor taylor(Series series, const RationalTensor& x, at::IntArrayRef shape, at::Device device,
                      int64_t terms) {
  check_residues(x);
  const TensorChain chain{std::vector<int64_t>(shape.begin(), shape.end()), device};
  if (chain.one_element()) {
    if (const auto value = input_value(x)) return series_of(series, HostChain(), *value, terms).build(shape, device);
  }
  return series_of(series, chain, x, terms);
}

}  // namespace kalvex
