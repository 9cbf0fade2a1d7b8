#include "elementwise/sign_ops.h"

#include <ATen/ATen.h>

#include "core/checks.h"
#include "core/kernels/constant_rows.h"
#include "elementwise/kernels.h"
#include "reconstruct/exact_decisions.h"

namespace kalvex {

namespace {

// One decision per element, broadcast over the prime axis (a view, no copy).
at::Tensor per_element(const at::Tensor& mask, const at::Tensor& residues) {
  return mask.unsqueeze(0).expand_as(residues);
}

}  // namespace

RationalTensor absolute(const RationalTensor& x, const at::Tensor& view) {
  check_residues(x);
  const at::Tensor negative = per_element(at::lt(decided_signs(x, view), 0), x.num);
  auto out = kernels::run(NegateWhereOp{}, {negative, x.num}, prime_column(x.primes, x.num.dim()));
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = at::abs(*x.approx);
  RationalTensor result{std::move(out[0]), copy_residues(x.denom), x.primes, std::move(approx)};
  result.bits = x.bits;
  return result;
}

RationalTensor relu(const RationalTensor& x, const at::Tensor& view) {
  check_residues(x);
  const at::Tensor positive = per_element(at::gt(decided_signs(x, view), 0), x.num);
  auto out = kernels::run(KeepOrZeroOp{}, {positive, x.num, x.denom});
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = at::relu(*x.approx);
  RationalTensor result{std::move(out[0]), std::move(out[1]), x.primes, std::move(approx)};
  result.bits = either_bounds(x.bits, {0, 0, kNoFloor, 0});  // the zero put in is 0/1
  return result;
}

}  // namespace kalvex
