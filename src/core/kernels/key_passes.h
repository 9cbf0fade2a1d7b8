#pragma once
// Passes over float keys (the float views of values) that tell a decision
// whether the floats settle it or the exact values must (NOTE: [Exact
// decisions]).
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include <vector>

namespace kalvex::kernels {

// Where a view decides nothing by itself: 0 (a cancellation may have left
// any value there) and anything not finite.
at::Tensor special_views(const at::Tensor& view);

// The members of runs of equal keys in `sorted` (rows of keys as torch's
// sort leaves them), as row-major (row, slot) pairs; none when some key is
// 0 or not finite, which leaves more than ties to decide.
c10::optional<std::vector<int64_t>> tie_members(const at::Tensor& sorted);

// Whether torch's top-k of `key` along `dim` (its `keys`) may differ from the
// exact one: a zero or non-finite key in some row, a tie among the chosen
// keys, or the last chosen key tied with one left out.
bool topk_undecided(const at::Tensor& key, const at::Tensor& keys, int64_t dim, int64_t k);

}  // namespace kalvex::kernels
