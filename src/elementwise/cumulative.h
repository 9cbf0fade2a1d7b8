#pragma once
// Running sums and products of a one-dimensional tensor.
//
// NOTE: [Running values in blocks of 32]
// The value stored at position i is the running fraction built by cross
// multiplication from the running value at the start of i's block of 32,
// that start value being brought to lowest terms (the reduction at a block
// end only changes what the next block builds on).  Pairwise sums and
// products of residue pairs are associative, so a stored value equals
// start(b) (+) P_i, where P_i is the running value of the block's own
// elements up to i: the P_i of all blocks come from one parallel scan on the
// residues, and the block starts from one exact host pass over the block
// totals, start(b + 1) = lowest terms of start(b) (+) total(b).  The host pass
// keeps the running value exact while it fits the read-back range, reading
// each total robustly; where a value cannot be reduced (a zero denominator)
// the unreduced pair is carried on, as a reduction that fails keeps it, and
// beyond the range the exact residues of the pair are carried instead.
#include <ATen/core/Tensor.h>

#include "core/rational_tensor.h"

namespace kalvex {

enum class Running { Sum, Product };

// The checks made before any work, in this order: a negative dim counts from
// the end (once), an index outside the shape is an Index error "list index
// out of range", and anything but one dimension is NotImplemented
// "cumsum currently only supports 1D tensors" (cumprod for products).
void check_running_dim(Running kind, at::IntArrayRef shape, int64_t dim);

// The running sums or products of the one-dimensional x, unreduced as above;
// the approximation is torch's running sum or product of x's.
RationalTensor running(Running kind, const RationalTensor& x);

}  // namespace kalvex
