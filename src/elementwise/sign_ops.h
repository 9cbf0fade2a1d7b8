#pragma once
// Sign-based operations.  Residues carry no order, so each sign is decided on
// the tensor's float view where it decides, on the exact value elsewhere
// (NOTE: [Exact decisions]); all residues of an element are then kept,
// negated or replaced together, in one pass.
//
// `view` is that float view: the approximation when the tensor has one, else
// the view rebuilt from the residues, in the tensor's own shape (the rebuilt
// view of a 0-dimensional tensor has shape (1,); callers reshape it).
#include "core/rational_tensor.h"

namespace kalvex {

// |x|: the numerator negated where x < 0, the denominator copied; the
// approximation |approx|.
RationalTensor absolute(const RationalTensor& x, const at::Tensor& view);

// max(x, 0): elements not > 0 become exactly 0/1, the others keep their
// residues; the approximation relu(approx).
RationalTensor relu(const RationalTensor& x, const at::Tensor& view);

}  // namespace kalvex
