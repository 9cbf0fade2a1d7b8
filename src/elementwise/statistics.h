#pragma once
// Whole-tensor statistics: variance, the sum of squares under the L2 norm,
// and the product of all elements.  Each returns a one-element tensor of
// shape (1,).
#include <ATen/core/Tensor.h>

#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex {

// (E[x^2] - E[x]^2) * n / (n - correction) over the n elements of x, in
// lowest terms; `device` is x's device slot, where the constants are made.
// ZeroDivision "division by zero" when correction == n != 0.
// NOTE: [Variance from two exact sums]: when both sums read back, the rest
// is exact host arithmetic on their values; otherwise (zero denominators,
// no elements) the one-element steps run on tensors as written.
RationalTensor variance(const RationalTensor& x, const BigInt& correction, at::Device device);

// (x * x).sum() brought to lowest terms: what the L2 norm takes the root of.
RationalTensor sum_of_squares(const RationalTensor& x);

// The unreduced product of all elements, numerators and denominators
// multiplied separately (any order gives the same residues); a tensor
// without elements gives the exact 1.
RationalTensor product(const RationalTensor& x);

}  // namespace kalvex
