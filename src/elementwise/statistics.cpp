#include "elementwise/statistics.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <cmath>
#include <vector>

#include "core/arith.h"
#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/modmath.h"
#include "core/paths.h"
#include "core/simd.h"
#include "core/standard_basis.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"
#include "reduce/sum.h"

namespace kalvex {

namespace {


// The value of a one-element sum, when it reads back.
bool read_value(const RationalTensor& t, BigRational& out) {
  c10::optional<Fraction> f = value_of(t);
  if (!f) return false;
  mpz_swap(mpq_numref(out.get()), f->num.get());
  mpz_swap(mpq_denref(out.get()), f->den.get());
  return true;
}

// The result in lowest terms, as the last reduction rebuilds it.
RationalTensor rebuilt(BigRational& value, at::Device device) {
  BigInt num, den;
  mpz_swap(num.get(), mpq_numref(value.get()));
  mpz_swap(den.get(), mpq_denref(value.get()));
  return from_value(num, den, std::vector<int64_t>{1}, device);
}

// The one-element steps as written, for sums that do not read back.
RationalTensor variance_by_steps(const RationalTensor& sum, const RationalTensor& sum_sq, int64_t n,
                                 const BigInt& correction, at::Device device) {
  const std::vector<int64_t> shape{1};
  auto simplify = [&](const RationalTensor& t) {
    return simplified(t, shape, device).value_or(t);
  };
  const RationalTensor n_mt = from_fraction(n, int64_t{1}, shape, device);
  const RationalTensor mean = simplify(binary(BinaryOp::Div, sum, n_mt));
  const RationalTensor mean_sq = simplify(binary(BinaryOp::Div, sum_sq, n_mt));
  const RationalTensor mean_val_sq = binary(BinaryOp::Mul, mean, mean);
  RationalTensor result = simplify(binary(BinaryOp::Sub, mean_sq, mean_val_sq));
  if (correction.sign() != 0) {
    const BigInt count = BigInt::from_int64(n);
    BigInt rest;
    mpz_sub(rest.get(), count.get(), correction.get());
    result = simplify(binary(BinaryOp::Mul, result, from_fraction(count, rest, shape, device)));
  }
  return result;
}

// ---- product ---------------------------------------------------------------

// One halving pass of a row's tree: out[i] = a[i] * a[i + half], an odd last
// element carried; independent products that vectorise.
KALVEX_CLONES int64_t halve(const double* __restrict__ a, int64_t length, const Modulus m,
                            double* __restrict__ out) {
  const int64_t half = length / 2;
  for (int64_t i = 0; i < half; ++i) out[i] = mul_mod_d(a[i], a[i + half], m);
  if (length % 2 == 1) out[half] = a[length - 1];
  return half + length % 2;
}

KALVEX_CLONES void to_doubles(const int64_t* __restrict__ v, int64_t n, double* __restrict__ out) {
  for (int64_t i = 0; i < n; ++i) out[i] = as_double(v[i]);
}

// The product of a row of residues by a tree of halving passes.
int64_t row_product(const int64_t* v, int64_t n, int64_t p, std::vector<double>& ping, std::vector<double>& pong) {
  const Modulus m(p);
  ping.resize(static_cast<size_t>(n));
  pong.resize(static_cast<size_t>(n / 2 + 1));
  to_doubles(v, n, ping.data());
  int64_t length = n;
  while (length > 1) {
    length = halve(ping.data(), length, m, pong.data());
    std::swap(ping, pong);
  }
  return as_residue(ping[0]);
}

void product_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, at::Tensor& out_num,
                 at::Tensor& out_den) {
  const int64_t rows = num.size(0), n = num.size(1);
  const at::Tensor cn = num.contiguous(), cd = den.contiguous(), cp = primes.contiguous();
  out_num = at::empty({rows, 1}, num.options());
  out_den = at::empty({rows, 1}, num.options());
  const int64_t *pn = cn.data_ptr<int64_t>(), *pd = cd.data_ptr<int64_t>(), *pp = cp.data_ptr<int64_t>();
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  at::parallel_for(0, 2 * rows, 1, [&](int64_t begin, int64_t end) {
    std::vector<double> ping, pong;
    for (int64_t t = begin; t < end; ++t) {
      const int64_t r = t % rows;
      if (t < rows) {
        on[r] = row_product(pn + r * n, n, pp[r], ping, pong);
      } else {
        od[r] = row_product(pd + r * n, n, pp[r], ping, pong);
      }
    }
  });
}

// Any device: halving passes, column 2i times column 2i+1.
void product_by_halving(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                        at::Tensor& out_num, at::Tensor& out_den) {
  RationalTensor acc{num, den, primes, c10::nullopt};
  while (acc.num.size(1) > 1) {
    const int64_t k = acc.num.size(1), even_k = k - k % 2;
    const RationalTensor left{acc.num.slice(1, 0, even_k, 2), acc.denom.slice(1, 0, even_k, 2), primes,
                              c10::nullopt};
    const RationalTensor right{acc.num.slice(1, 1, even_k, 2), acc.denom.slice(1, 1, even_k, 2), primes,
                               c10::nullopt};
    RationalTensor pairs = binary(BinaryOp::Mul, left, right);
    if (k % 2 == 1) {
      pairs.num = at::cat({pairs.num, acc.num.slice(1, k - 1, k)}, 1);
      pairs.denom = at::cat({pairs.denom, acc.denom.slice(1, k - 1, k)}, 1);
    }
    acc = pairs;
  }
  out_num = acc.num.contiguous();
  out_den = acc.denom.contiguous();
}

}  // namespace

RationalTensor variance(const RationalTensor& x, const BigInt& correction, at::Device device) {
  check_residues(x);
  int64_t n = 1;
  for (int64_t s : x.shape()) n *= s;
  const RationalTensor sum = sum_all(x);
  const RationalTensor sum_sq = dot(x, x);

  // NOTE: [Variance from two exact sums]
  // Each step of the variance ends in a reduction of a one-element tensor,
  // so with both sums known exactly the result is their exact combination.
  BigRational mean, mean_sq;
  if (n == 0 || !read_value(sum, mean) || !read_value(sum_sq, mean_sq))
    return variance_by_steps(sum, sum_sq, n, correction, device);
  BigRational count, result;
  mpq_set_si(count.get(), n, 1);
  mpq_div(mean.get(), mean.get(), count.get());
  mpq_div(mean_sq.get(), mean_sq.get(), count.get());
  mpq_mul(result.get(), mean.get(), mean.get());
  mpq_sub(result.get(), mean_sq.get(), result.get());
  if (correction.sign() != 0) {
    BigRational factor;
    mpz_set_si(mpq_numref(factor.get()), n);
    mpz_sub(mpq_denref(factor.get()), mpq_numref(factor.get()), correction.get());
    if (mpz_sgn(mpq_denref(factor.get())) == 0) fail(ErrorKind::ZeroDivision, "division by zero");
    mpq_canonicalize(factor.get());
    mpq_mul(result.get(), result.get(), factor.get());
  }
  return rebuilt(result, device);
}

RationalTensor sum_of_squares(const RationalTensor& x) {
  check_residues(x);
  const RationalTensor total = dot(x, x);
  return simplified(total, total.shape(), total.num.device()).value_or(total);
}

RationalTensor product(const RationalTensor& x) {
  check_residues(x);
  const int64_t rows = x.num.size(0);
  const at::Tensor num = x.num.view({rows, -1});
  const at::Tensor den = x.denom.view({rows, -1});
  c10::optional<at::Tensor> approx;
  // Written out first: torch multiplies a broadcast view in another order,
  // and the product of many floats depends on it (underflow, rounding).
  if (x.approx) approx = at::prod(x.approx->contiguous()).unsqueeze(0);
  if (num.size(1) == 0) {
    const at::Tensor one = at::ones({rows, 1}, num.options());
    RationalTensor empty{one, one.clone(), x.primes, approx};
    empty.bits = {0, 0, 0, 0};  // 1/1
    return empty;
  }
  at::Tensor out_num, out_den;
  if (host_residues(num, den, x.primes)) {
    product_cpu(num, den, x.primes, out_num, out_den);
  } else {
    product_by_halving(num, den, x.primes, out_num, out_den);
  }
  RationalTensor result{out_num, out_den, x.primes, approx};
  result.bits = product_of_bounds(x.bits, num.size(1));
  return result;
}

}  // namespace kalvex
