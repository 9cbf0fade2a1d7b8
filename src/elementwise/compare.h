#pragma once
// Exact tests on residues, and selection between two tensors.  (The order
// comparisons are plain comparisons of float views and need no code here.)
#include "core/rational_tensor.h"

namespace kalvex {

// Exact element-wise x != y, a bool tensor of the broadcast shape: true where
// the cross products differ modulo some prime.  Operands must share a basis
// and a rank.
at::Tensor not_equal(const RationalTensor& x, const RationalTensor& y);

// Whether every element (all_nonzero) or some element (any_nonzero) of the
// numerator residues `num` [P, *shape] is non-zero: an element is zero exactly
// when all its residues are (a multiple of one prime is not zero).  Plain
// torch reductions, so any residue dtype is read safely.
bool all_nonzero(const at::Tensor& num);
bool any_nonzero(const at::Tensor& num);

// Each element, numerator and denominator together, from x where `condition`
// (already on x's device, broadcastable to x's shape) holds and from y
// elsewhere; the approximations are selected alike when both exist.  y's
// residues are taken as they are: its basis is not compared.
RationalTensor select(const at::Tensor& condition, const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
