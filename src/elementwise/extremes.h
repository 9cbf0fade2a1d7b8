#pragma once
// The largest and smallest element of a whole tensor, ordered by its float
// view (row-major, first position on ties, NaN as torch's argmax orders it).
#include "core/rational_tensor.h"

namespace kalvex {

// The row-major position of the first largest (or smallest) entry of `view`;
// torch's error for an empty view.
int64_t extreme_index(const at::Tensor& view, bool largest);

// That element of x, exact, as a tensor of shape (1,): its residues as rows
// [P, 1], its approximation the view's entry when x has one (`has_approx`).
RationalTensor extreme(const RationalTensor& x, const at::Tensor& view, bool largest, bool has_approx);

}  // namespace kalvex
