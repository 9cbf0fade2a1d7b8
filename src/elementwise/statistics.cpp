#include "elementwise/statistics.h"

#include <ATen/ATen.h>

#include <cmath>
#include <vector>

#include "core/arith.h"
#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/kernels/reduce.h"
#include "core/kernels/residue_ops.h"
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
  kernels::reduce<MulOp>(num, den, x.primes, 1, out_num, out_den);
  RationalTensor result{out_num.unsqueeze(1), out_den.unsqueeze(1), x.primes, approx};
  result.bits = product_of_bounds(x.bits, num.size(1));
  return result;
}

}  // namespace kalvex
