#pragma once
// Exact read-back of one-element tensors: the reduced fraction, and the
// tensor rebuilt from it.
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex {

struct Fraction {
  BigInt num;
  BigInt den;
};

// Only shapes () and (1,) are read back exactly; anything else is a Value error.
void check_scalar_shape(at::IntArrayRef shape);

// The value of a one-element tensor in lowest terms with a non-negative
// denominator, read robustly (NOTE: [Robust read-back]).  A zero denominator
// gives (1, 0), (-1, 0) or (0, 0) by the sign of the numerator.
Fraction read_scalar(const at::Tensor& num, const at::Tensor& denom, const at::Tensor& primes);

// `t`, of user shape `shape`, rebuilt on `device` from its reduced value; none
// where that cannot be done (another shape, a zero denominator, residues that
// do not read back).  Never throws.
c10::optional<RationalTensor> simplified(const RationalTensor& t, at::IntArrayRef shape, at::Device device);

}  // namespace kalvex
