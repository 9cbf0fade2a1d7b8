#pragma once
// Residues picked at positions: both residue tensors along one axis at the
// positions an ordering chose, and one tensor's elements for reading back.
#include <ATen/core/Tensor.h>

#include <utility>
#include <vector>

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

// The residues of `half` [rows, *S] (its broadcast axes of size 1 and its
// constant rows read where they lie) at count elements, the k-th with index
// axes[a][k] along axis a + 1: [rows, count] int64 on the host.  On the CPU
// one pass picks them; otherwise torch's indexing, then one copy.
at::Tensor pick_elements(const at::Tensor& half, const std::vector<std::vector<int64_t>>& axes, int64_t count);

}  // namespace kalvex::kernels
