#pragma once
// Residues picked at positions: both residue tensors along one axis at the
// positions an ordering chose, one tensor's elements for reading back, and
// the guard that keeps torch's index kernels from asserting on a device.
#include <ATen/ATen.h>

#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/paths.h"

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

// Device kernels check positions with an assertion that leaves the device
// unusable.  There positions out of range are looked for first (one small
// reduction), and if there are any, the same selection on host copies raises
// torch's own error.
template <typename Select>
void refuse_positions_out_of_range(const at::Tensor& source, int64_t axis, const at::Tensor& index, Select&& select) {
  if (host_paths(source, index) || index.numel() == 0 || !at::isIntegralType(index.scalar_type(), false)) return;
  const int64_t size = source.dim() == 0 ? 1 : source.size(axis);
  if (at::logical_or(index.lt(0), index.ge(size)).any().item<bool>())
    torch_refusal([&] { return select(source.cpu(), index.cpu()); });
}

}  // namespace kalvex::kernels
