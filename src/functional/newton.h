#pragma once
// Newton's square root: x <- (x + a / x) / 2 from the float square root of
// a's float view (clamped below at 1e-10), captured exactly.
//
// The iterate roughly doubles in size with every exact step, so `max_bits`
// bounds the steps taken, with s(v) the bit length of the reduced numerator
// plus that of the reduced denominator:
//  - a one-element input stops before a step when 2 s(x) + s(a) + 2 > max_bits
//    (the size bound of the next iterate), each iterate being in lowest terms;
//  - a larger input takes, up front, the largest k <= max_iterations with
//    B_k <= max_bits, where B_0 is the largest s over the starting point's
//    elements and B_{j+1} = 2 B_j + S_a + 2 (S_a the largest s over a's).
// Results thus stay within the read-back range whenever max_bits does.
#include <ATen/core/Tensor.h>

#include "core/rational_tensor.h"

namespace kalvex {

// a has user shape `shape` and device slot `device`; `a_float` is its float
// view (its approximation, or the view rebuilt from its residues).  The
// result has a's shape and device and the standard basis there.
RationalTensor sqrt_newton(const RationalTensor& a, const at::Tensor& a_float, at::IntArrayRef shape,
                           at::Device device, int64_t max_iterations, int64_t max_bits);

}  // namespace kalvex
