#pragma once
// Exact reductions over all elements and along one dimension.
#include "core/rational_tensor.h"

namespace kalvex {

// The exact sum of all elements, shape (1,), in lowest terms (a one-element
// tensor is returned as a copy of itself, unreduced).  `standard_primes` is
// the basis on the tensor's device, for the rebuilt result.
RationalTensor sum_all(const RationalTensor& x, const at::Tensor& standard_primes);

// The unreduced sum along user dimension `dim` (negative counts from the end).
RationalTensor sum_dim(const RationalTensor& x, int64_t dim);

// sum_all(x * y).
RationalTensor dot(const RationalTensor& x, const RationalTensor& y, const at::Tensor& standard_primes);

}  // namespace kalvex
