#pragma once
// Shape operations: one torch view or reshape applied to the numerator
// residues, to the denominator residues (on the user axis plus one, past the
// prime axis) and to the approximation.  Results share storage with their
// input wherever torch's operation returns a view; nothing is written.
// User axes follow torch's rules for a tensor of the user rank (shape/axes.h).
#include <c10/util/Optional.h>

#include "core/rational_tensor.h"

namespace kalvex {

// Residues to [N_PRIMES, *shape] (a -1 is inferred over the user part); the
// approximation to `shape`, the scalar shape () included.
RationalTensor reshape(const RationalTensor& x, at::IntArrayRef shape);

RationalTensor transpose(const RationalTensor& x, int64_t dim0, int64_t dim1);

RationalTensor flatten(const RationalTensor& x, int64_t start_dim, int64_t end_dim);

// Without `dim`, every user axis of size 1 is removed (never the prime axis).
RationalTensor squeeze(const RationalTensor& x, c10::optional<int64_t> dim);

RationalTensor unsqueeze(const RationalTensor& x, int64_t dim);

// The last two user axes swapped; none below user rank 2, where the tensor
// itself is the answer.
c10::optional<RationalTensor> matrix_transpose(const RationalTensor& x);

// The same values with contiguous residues and approximation (constant rows
// written out); none when they are contiguous already.
c10::optional<RationalTensor> contiguous(const RationalTensor& x);

// The same values in storage of their own.
RationalTensor clone(const RationalTensor& x);

}  // namespace kalvex
