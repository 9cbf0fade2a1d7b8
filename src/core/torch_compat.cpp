#include "core/torch_compat.h"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>

#include <cmath>
#include <type_traits>

namespace kalvex {

at::Tensor correctly_rounded_sqrt(const at::Tensor& t) {
  if (!at::isFloatingType(t.scalar_type())) return at::sqrt(t);  // torch's promotion, as before
  if (!t.is_cpu()) {
    if (t.scalar_type() == at::kDouble) return at::sqrt(t);
    return at::sqrt(t.to(at::kDouble)).to(t.scalar_type());
  }
  const at::Tensor in = t.contiguous();
  at::Tensor out = at::empty_like(in);
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, in.scalar_type(), "correctly_rounded_sqrt", [&] {
    using Wide = std::conditional_t<std::is_same_v<scalar_t, double>, double, float>;
    const scalar_t* src = in.data_ptr<scalar_t>();
    scalar_t* dst = out.data_ptr<scalar_t>();
    at::parallel_for(0, in.numel(), 32768, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i) dst[i] = static_cast<scalar_t>(std::sqrt(static_cast<Wide>(src[i])));
    });
  });
  return out;
}

}  // namespace kalvex
