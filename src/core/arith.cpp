#include "core/arith.h"

#include <ATen/ATen.h>

#include <sstream>

#include "core/checks.h"
#include "core/errors.h"
#include "core/kernels/approximate.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/residue_ops.h"

namespace kalvex {

namespace {

// One operator: its residue kernel, its float formula and its size bounds.
template <typename Kernel, typename F>
RationalTensor combine(const RationalTensor& x_in, const RationalTensor& y_in, F formula,
                       BitBounds (*bounds)(const BitBounds&, const BitBounds&)) {
  check_operands(x_in, y_in);
  const auto [x, y] = with_common_rank(x_in, y_in);
  auto out = kernels::run(Kernel{}, {x.num, x.denom, y.num, y.denom}, prime_column(x.primes, x.num.dim()));
  c10::optional<at::Tensor> approx;
  if (x.approx && y.approx) approx = kernels::approximate(*x.approx, *y.approx, formula);
  RationalTensor result{std::move(out[0]), std::move(out[1]), x.primes, std::move(approx)};
  result.bits = bounds(x.bits, y.bits);
  return result;
}

const auto kAdd = [](const auto& a, const auto& b, auto) { return a + b; };
const auto kSub = [](const auto& a, const auto& b, auto) { return a - b; };
const auto kMul = [](const auto& a, const auto& b, auto) { return a * b; };
const auto kDiv = [](const auto& a, const auto& b, auto shift) { return a / (b + shift); };

// Calls f with the residue kernel, the float formula and the size bounds of `op`.
template <typename F>
auto with_operator(BinaryOp op, F&& f) {
  switch (op) {
    case BinaryOp::Add: return f(AddOp{}, kAdd, sum_bounds);
    case BinaryOp::Sub: return f(SubOp{}, kSub, sum_bounds);
    case BinaryOp::Mul: return f(MulOp{}, kMul, product_bounds);
    case BinaryOp::Div: return f(DivOp{}, kDiv, quotient_bounds);
  }
  fail(ErrorKind::Runtime, "unknown arithmetic operator");
}

// t with `count` axes of size 1 inserted before axis `at` (a view).
at::Tensor with_axes(const at::Tensor& t, int64_t at, int64_t count) {
  std::vector<int64_t> sizes = t.sizes().vec();
  sizes.insert(sizes.begin() + at, static_cast<size_t>(count), 1);
  return t.view(sizes);
}

// x with `count` leading user axes of size 1: after the prime axis of the
// residues, in front of the approximation.
RationalTensor with_leading_axes(const RationalTensor& x, int64_t count) {
  if (count <= 0) return x;
  RationalTensor out = x;
  out.num = with_axes(x.num, 1, count);
  out.denom = with_axes(x.denom, 1, count);
  if (x.approx && x.approx->dim() + 1 == x.num.dim()) out.approx = with_axes(*x.approx, 0, count);
  return out;
}

}  // namespace

std::pair<RationalTensor, RationalTensor> with_common_rank(const RationalTensor& x, const RationalTensor& y) {
  // Shapes that differ are checked here, so that torch's error names the user's axes.
  if (!x.shape().equals(y.shape())) at::infer_size(x.shape(), y.shape());
  const int64_t rank = std::max(x.num.dim(), y.num.dim());
  return {with_leading_axes(x, rank - x.num.dim()), with_leading_axes(y, rank - y.num.dim())};
}

RationalTensor binary(BinaryOp op, const RationalTensor& x, const RationalTensor& y) {
  return with_operator(op, [&](auto kernel, auto formula, auto bounds) {
    return combine<decltype(kernel)>(x, y, formula, bounds);
  });
}

at::Tensor combine_approx(BinaryOp op, const at::Tensor& a, const at::Tensor& b) {
  return with_operator(op, [&](auto, auto formula, auto) { return kernels::approximate(a, b, formula); });
}

at::Tensor equal(const RationalTensor& x_in, const RationalTensor& y_in) {
  check_operands(x_in, y_in);
  const auto [x, y] = with_common_rank(x_in, y_in);
  auto flags = kernels::run(EqualOp{}, {x.num, x.denom, y.num, y.denom}, prime_column(x.primes, x.num.dim()));
  return flags[0].all(0);
}

}  // namespace kalvex
