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
#include "functional/host_chain.h"
#include "functional/input_value.h"
#include "functional/tensor_chain.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"
#include "reduce/sum.h"

namespace kalvex {

namespace {


// The variance from the two sums, its steps written once over a chain of
// values (NOTE: [Variance from two exact sums]).
template <typename Chain, typename Value = typename Chain::Value>
Value variance_from_sums(const Chain& c, const Value& sum, const Value& sum_sq, int64_t n, const BigInt& correction) {
  const Value n_mt = c.integer(n);
  const Value mean = c.simplify(c.div(sum, n_mt));
  const Value mean_sq = c.simplify(c.div(sum_sq, n_mt));
  Value result = c.simplify(c.sub(mean_sq, c.mul(mean, mean)));
  if (correction.sign() != 0) {
    const BigInt count = BigInt::from_int64(n);
    BigInt rest;
    mpz_sub(rest.get(), count.get(), correction.get());
    result = c.simplify(c.mul(result, c.fraction(count, rest)));
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
  // so with both sums known exactly the result is their exact combination,
  // computed on the host; otherwise the steps run on the one-element sums.
  const TensorChain chain{{1}, device};
  if (n > 0) {
    const auto total = input_value(sum), squares = input_value(sum_sq);
    if (total && squares)
      return variance_from_sums(HostChain(), *total, *squares, n, correction).build(chain.shape, device);
  }
  return variance_from_sums(chain, sum, sum_sq, n, correction);
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
