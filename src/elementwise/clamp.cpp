#include "elementwise/clamp.h"

#include <ATen/ATen.h>

#include <cmath>
#include <vector>

#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/standard_basis.h"
#include "elementwise/kernels.h"
#include "reconstruct/exact_decisions.h"
#include "reconstruct/float_view.h"

namespace kalvex {

namespace {

constexpr int64_t kBoundScale = 10000;  // bounds are stored as multiples of 1/10000

// A bound stored exactly: trunc(value * 10000) / 10000, as residue columns
// [P, 1, ..., 1] that broadcast over the elements.
struct Bound {
  double value;
  BigInt exact_num;  // over kBoundScale
  Residues num, den;
  BitBounds bits;

  explicit Bound(double bound) : value(bound) {
    const double scaled = bound * static_cast<double>(kBoundScale);
    if (std::isnan(scaled)) fail(ErrorKind::Value, "cannot convert float NaN to integer");
    if (std::isinf(scaled)) fail(ErrorKind::Overflow, "cannot convert float infinity to integer");
    mpz_set_d(exact_num.get(), scaled);  // rounds toward zero, as int() does
    num = residues_of(exact_num);
    den = residues_of(kBoundScale);
    bits = exact_bounds(exact_num, BigInt(kBoundScale));
  }

  at::Tensor column(const Residues& r, int64_t user_dims, at::Device device) const {
    return filled_residues(r, std::vector<int64_t>(static_cast<size_t>(user_dims), 1), device);
  }

  // The value a replaced element shows in a view rebuilt from its residues.
  at::Tensor rebuilt_value(at::Device device) const {
    return float_view(filled_value(num, den, 0.0, bits, {1}, device), {1}, device).reshape({});
  }
};

at::Tensor per_element(const at::Tensor& mask, const at::Tensor& residues) {
  return mask.unsqueeze(0).expand_as(residues);
}

bool any_true(const at::Tensor& mask) { return at::any(mask).item<bool>(); }

}  // namespace

c10::optional<RationalTensor> clamp(const RationalTensor& x, const at::Tensor& view, c10::optional<double> lo,
                                    c10::optional<double> hi, const std::function<at::Tensor()>& rebuilt_view) {
  check_residues(x);
  const at::Device device = x.num.device();
  c10::optional<at::Tensor> approx = x.approx;
  c10::optional<Bound> lower, upper;
  at::Tensor below, above;  // set only where they replace something

  if (lo) {
    lower.emplace(*lo);
    at::Tensor mask = decided_against(x, view, *lo, Order::Less);
    if (any_true(mask)) {
      below = mask;
      if (approx) approx = at::clamp(*approx, at::Scalar(*lo), c10::optional<at::Scalar>());
    }
  }
  if (hi) {
    upper.emplace(*hi);
    // The upper bound decides on the view the lower one left.
    at::Tensor current = view;
    if (below.defined())
      current = approx ? *approx : at::where(below, lower->rebuilt_value(device), rebuilt_view());
    // Elements the lower bound replaced stand for its stored value.
    c10::optional<Replaced> replaced;
    if (below.defined()) replaced = Replaced{below, lower->exact_num, BigInt(kBoundScale)};
    at::Tensor mask = decided_against(x, current, *hi, Order::Greater, replaced ? &*replaced : nullptr);
    if (any_true(mask)) {
      above = mask;
      if (approx) approx = at::clamp(*approx, c10::optional<at::Scalar>(), at::Scalar(*hi));
    }
  }
  if (!below.defined() && !above.defined()) return c10::nullopt;

  const int64_t user_dims = x.num.dim() - 1;
  kernels::KernelOutputs<SelectOp> out;
  if (below.defined() && above.defined()) {
    out = kernels::run(ClampOp{}, {per_element(below, x.num), per_element(above, x.num), x.num, x.denom,
                                   lower->column(lower->num, user_dims, device),
                                   lower->column(lower->den, user_dims, device),
                                   upper->column(upper->num, user_dims, device),
                                   upper->column(upper->den, user_dims, device)});
  } else {
    const Bound& bound = below.defined() ? *lower : *upper;
    const at::Tensor& mask = below.defined() ? below : above;
    out = kernels::run(SelectOp{}, {per_element(mask, x.num), bound.column(bound.num, user_dims, device),
                                    bound.column(bound.den, user_dims, device), x.num, x.denom});
  }
  RationalTensor result{std::move(out[0]), std::move(out[1]), x.primes, std::move(approx)};
  result.bits = x.bits;
  if (lower) result.bits = either_bounds(result.bits, lower->bits);
  if (upper) result.bits = either_bounds(result.bits, upper->bits);
  return result;
}

}  // namespace kalvex
