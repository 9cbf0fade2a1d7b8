#pragma once
// Both residue tensors picked along one axis at the positions an ordering
// chose, in one pass.
#include <ATen/core/Tensor.h>

#include <utility>

namespace kalvex::kernels {

// num and denom [P, *S] picked along residue axis `axis` (>= 1) at `index`,
// the int64 positions that torch.sort or torch.topk returned for a key of
// shape `key_shape`.  Returns the residues [P, *index.shape], new tensors.
// On the CPU, when the key has the user shape S (so every position lies
// within the axis), one pass reads each position once for both tensors and
// every prime; otherwise torch's gather runs on each tensor with the index
// spread over the prime axis, and reports what does not fit.
std::pair<at::Tensor, at::Tensor> take_along(const at::Tensor& num, const at::Tensor& denom, int64_t axis,
                                             const at::Tensor& index, at::IntArrayRef key_shape);

}  // namespace kalvex::kernels
