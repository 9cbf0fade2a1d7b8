#include "elementwise/compare.h"

#include <ATen/ATen.h>

#include "core/arith.h"
#include "core/checks.h"
#include "elementwise/kernels.h"

namespace kalvex {

at::Tensor not_equal(const RationalTensor& x_in, const RationalTensor& y_in) {
  check_operands(x_in, y_in);
  const auto [x, y] = with_common_rank(x_in, y_in);
  auto flags = kernels::run(NotEqualOp{}, {x.num, x.denom, y.num, y.denom}, prime_column(x.primes, x.num.dim()));
  return flags[0].any(0);
}

bool all_nonzero(const at::Tensor& num) { return at::ne(num, 0).any(0).all().item<bool>(); }

bool any_nonzero(const at::Tensor& num) { return at::ne(num, 0).any().item<bool>(); }

RationalTensor select(const at::Tensor& condition, const RationalTensor& x_in, const RationalTensor& y_in) {
  check_residues(x_in);
  check_residues(y_in);
  const auto [x, y] = with_common_rank(x_in, y_in);
  const at::Tensor expanded = condition.unsqueeze(0).expand_as(x.num);
  at::Tensor num, denom;
  if (condition.scalar_type() == at::kBool) {
    auto out = kernels::run(SelectOp{}, {expanded, x.num, x.denom, y.num, y.denom});
    num = out[0];
    denom = out[1];
  } else {
    // torch decides what other conditions mean (or refuses them).
    num = at::where(expanded, x.num, y.num);
    denom = at::where(expanded, x.denom, y.denom);
  }
  c10::optional<at::Tensor> approx;
  if (x.approx && y.approx) approx = at::where(condition, *x.approx, *y.approx);
  RationalTensor result{num, denom, x.primes, std::move(approx)};
  result.bits = either_bounds(x.bits, y.bits);
  return result;
}

}  // namespace kalvex
