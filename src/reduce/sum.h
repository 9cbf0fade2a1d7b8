#pragma once
// Exact reductions over all elements and along one dimension.
#include "core/rational_tensor.h"

namespace kalvex {

// The exact sum of all elements, shape (1,) (NOTE: [Sums read back once]): in
// lowest terms, rebuilt in the standard basis, whenever the reduced total can
// be read back; otherwise the exact unreduced residues with the float sum of
// the elements' approximations.  A one-element tensor is returned as a copy
// of itself, unreduced.
RationalTensor sum_all(const RationalTensor& x);

// The unreduced sum along user dimension `dim` (negative counts from the end).
RationalTensor sum_dim(const RationalTensor& x, int64_t dim);

// sum_all(x * y).
RationalTensor dot(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
