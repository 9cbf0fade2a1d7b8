#pragma once
// The launcher of the approximations: a float formula applied to two
// approximations element by element, with the same IEEE float32 operations
// as torch.
#include <ATen/ATen.h>

#include "core/kernels/constant_rows.h"
#include "core/paths.h"

namespace kalvex::kernels {

constexpr double kDivisorShift = 1e-30;  // keeps a zero divisor from giving NaN

// formula(a, b, shift) on tensors, on float32 elements, or on one value each
// when both are filled constants (then broadcast like them).
template <typename F>
at::Tensor approximate(const at::Tensor& a, const at::Tensor& b, F formula) {
  if (is_broadcast_value(a) && is_broadcast_value(b))
    return formula(one_element(a), one_element(b), kDivisorShift).expand(at::infer_size(a.sizes(), b.sizes()));
  // Small float32 tensors on the CPU: the loop, without torch's dispatch overhead.
  if (host_paths(a, b) && a.scalar_type() == at::kFloat && b.scalar_type() == at::kFloat && a.is_contiguous() &&
      b.is_contiguous() && a.sizes().equals(b.sizes()) && a.numel() <= 4096) {
    at::Tensor out = at::empty(a.sizes(), a.options());
    const float *pa = a.data_ptr<float>(), *pb = b.data_ptr<float>();
    float* po = out.data_ptr<float>();
    for (int64_t i = 0, n = a.numel(); i < n; ++i) po[i] = formula(pa[i], pb[i], static_cast<float>(kDivisorShift));
    return out;
  }
  return formula(a, b, kDivisorShift);
}

}  // namespace kalvex::kernels
