#include "functional/series.h"

#include "core/checks.h"
#include "functional/chain_value.h"
#include "functional/input_value.h"
#include "functional/tensor_chain.h"

namespace kalvex {

namespace {

// ---- one exact host chain (one-element inputs) -------------------------
// Each term is formed from the previous one, x^n / n! = x^(n-1) / (n-1)! * x / n
// and so on: the same exact values as the step-by-step chain.

ChainValue exp_on_host(const ChainValue& x, int64_t terms) {
  ChainValue result(1), term(1);
  for (int64_t n = 1; n < terms; ++n) {
    term.mul(x);
    term.scale(1, static_cast<unsigned long>(n));
    result.add(term);
  }
  return result;
}

ChainValue sin_on_host(const ChainValue& x, int64_t terms) {
  ChainValue result(0);
  if (terms <= 0) return result;
  ChainValue x_squared = x;
  x_squared.mul(x);
  ChainValue term = x;
  result.add(term);
  for (int64_t n = 1; n < terms; ++n) {
    term.mul(x_squared);
    term.scale(-1, static_cast<unsigned long>(2 * n));
    term.scale(1, static_cast<unsigned long>(2 * n + 1));
    result.add(term);
  }
  return result;
}

ChainValue cos_on_host(const ChainValue& x, int64_t terms) {
  ChainValue result(1), term(1);
  ChainValue x_squared = x;
  x_squared.mul(x);
  for (int64_t n = 1; n < terms; ++n) {
    term.mul(x_squared);
    term.scale(-1, static_cast<unsigned long>(2 * n - 1));
    term.scale(1, static_cast<unsigned long>(2 * n));
    result.add(term);
  }
  return result;
}

ChainValue log1p_on_host(const ChainValue& x, int64_t terms) {
  ChainValue result(0), power = x;
  long sign = 1;
  for (int64_t n = 1; n <= terms; ++n) {
    ChainValue term = power;
    term.scale(sign, static_cast<unsigned long>(n));
    result.add(term);
    if (n < terms) power.mul(x);
    sign = -sign;
  }
  return result;
}

// C(1/2, n) = C(1/2, n - 1) * (3 - 2n) / (2n).
ChainValue sqrt_on_host(const ChainValue& a, int64_t terms) {
  ChainValue shifted = a;
  shifted.sub(ChainValue(1));
  ChainValue result(1), term(1);
  for (int64_t n = 1; n < terms; ++n) {
    term.mul(shifted);
    term.scale(3 - 2 * n, static_cast<unsigned long>(2 * n));
    result.add(term);
  }
  return result;
}

ChainValue on_host(Series series, const ChainValue& x, int64_t terms) {
  switch (series) {
    case Series::Exp: return exp_on_host(x, terms);
    case Series::Sin: return sin_on_host(x, terms);
    case Series::Cos: return cos_on_host(x, terms);
    case Series::Log1p: return log1p_on_host(x, terms);
    case Series::Sqrt: return sqrt_on_host(x, terms);
  }
  return ChainValue(0);
}

// ---- step by step on tensors --------------------------------------------

void multiply(BigInt& value, int64_t factor) {
  mpz_mul_si(value.get(), value.get(), static_cast<long>(factor));
}

RationalTensor exp_by_steps(const TensorChain& c, RationalTensor x, int64_t terms) {
  x = c.simplify(x);
  RationalTensor result = c.integer(1), term = c.integer(1);
  BigInt factorial(1);
  for (int64_t n = 1; n < terms; ++n) {
    term = c.mul(term, x);
    multiply(factorial, n);
    const RationalTensor contribution = c.simplify(c.mul(term, c.fraction(BigInt(1), factorial)));
    result = c.simplify(c.add(result, contribution));
  }
  return result;
}

// sin and cos: odd or even powers, starting from x or 1.
RationalTensor sin_cos_by_steps(const TensorChain& c, RationalTensor x, int64_t terms, bool odd) {
  x = c.simplify(x);
  RationalTensor result = c.integer(odd ? 0 : 1);
  const RationalTensor x_squared = c.mul(x, x);
  RationalTensor x_power = odd ? c.simplify(x) : c.integer(1);
  BigInt factorial(1);
  long sign = odd ? 1 : -1;
  for (int64_t n = odd ? 0 : 1; n < terms; ++n) {
    const int64_t k = odd ? 2 * n + 1 : 2 * n;
    if (n > 0) {
      multiply(factorial, k - 1);
      multiply(factorial, k);
      x_power = c.simplify(c.mul(x_power, x_squared));
    }
    const RationalTensor contribution = c.simplify(c.mul(x_power, c.fraction(BigInt(sign), factorial)));
    result = c.simplify(c.add(result, contribution));
    sign = -sign;
  }
  return result;
}

RationalTensor log1p_by_steps(const TensorChain& c, RationalTensor x, int64_t terms) {
  x = c.simplify(x);
  RationalTensor result = c.integer(0);
  RationalTensor x_power = c.simplify(x);
  long sign = 1;
  for (int64_t n = 1; n <= terms; ++n) {
    const RationalTensor coeff = c.fraction(BigInt(sign), BigInt::from_int64(n));
    const RationalTensor contribution = c.simplify(c.mul(x_power, coeff));
    result = c.simplify(c.add(result, contribution));
    x_power = c.simplify(c.mul(x_power, x));
    sign = -sign;
  }
  return result;
}

RationalTensor sqrt_by_steps(const TensorChain& c, RationalTensor a, int64_t terms) {
  a = c.simplify(a);
  const RationalTensor one = c.integer(1);
  const RationalTensor x = c.sub(a, one);
  RationalTensor result = c.simplify(one), x_power = c.simplify(one);
  BigInt coeff_num(1), coeff_den(1), g;
  for (int64_t n = 1; n < terms; ++n) {
    multiply(coeff_num, 3 - 2 * n);
    multiply(coeff_den, 2 * n);
    mpz_gcd(g.get(), coeff_num.get(), coeff_den.get());
    mpz_divexact(coeff_num.get(), coeff_num.get(), g.get());
    mpz_divexact(coeff_den.get(), coeff_den.get(), g.get());
    x_power = c.simplify(c.mul(x_power, x));
    const RationalTensor term = c.simplify(c.mul(x_power, c.fraction(coeff_num, coeff_den)));
    result = c.simplify(c.add(result, term));
  }
  return result;
}

RationalTensor by_steps(Series series, const TensorChain& c, const RationalTensor& x, int64_t terms) {
  switch (series) {
    case Series::Exp: return exp_by_steps(c, x, terms);
    case Series::Sin: return sin_cos_by_steps(c, x, terms, true);
    case Series::Cos: return sin_cos_by_steps(c, x, terms, false);
    case Series::Log1p: return log1p_by_steps(c, x, terms);
    case Series::Sqrt: return sqrt_by_steps(c, x, terms);
  }
  return x;
}

}  // namespace

RationalTensor taylor(Series series, const RationalTensor& x, at::IntArrayRef shape, at::Device device,
                      int64_t terms) {
  check_residues(x);
  const TensorChain chain{std::vector<int64_t>(shape.begin(), shape.end()), device};
  if (chain.one_element()) {
    if (const auto value = input_value(x)) return on_host(series, *value, terms).build(shape, device);
  }
  return by_steps(series, chain, x, terms);
}

}  // namespace kalvex
