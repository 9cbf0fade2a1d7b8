#pragma once
// Selection of elements by position: gather and index_select, each the same
// torch operation on both residue tensors (on the user axis plus one) and on
// the approximation.  The index must already be on the residues' device.
#include "core/rational_tensor.h"

namespace kalvex {

// Elements at `index` along `dim`; user shape index.shape.  The index is
// spread over the prime axis as a broadcast view, not copied per prime.
RationalTensor gather(const RationalTensor& x, int64_t dim, const at::Tensor& index);

RationalTensor index_select(const RationalTensor& x, int64_t dim, const at::Tensor& index);

// The residues [P] of one element repeated at `positions` (each 0, the only
// position a scalar has): [P, *positions.shape], a new tensor.  How a scalar
// answers an operation that torch lets select from a zero-dimensional tensor.
at::Tensor repeat_scalar(const at::Tensor& residues, const at::Tensor& positions);

}  // namespace kalvex
