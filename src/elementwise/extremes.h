#pragma once
// The largest and smallest element of a whole tensor, ordered by its float
// view where it decides and by the exact values where it does not (NOTE:
// [Exact decisions]): row-major, the first position among equal values.
#include "core/rational_tensor.h"

namespace kalvex {

// The first largest (or smallest) element of x (decided_extreme_index), exact, as a tensor of shape (1,): its residues as rows
// [P, 1], its approximation the view's entry when x has one (`has_approx`).
RationalTensor extreme(const RationalTensor& x, const at::Tensor& view, bool largest, bool has_approx);

}  // namespace kalvex
