#pragma once
// Exact matrix product of two [m, k] x [k, n] fraction matrices.
#include "core/rational_tensor.h"

namespace kalvex {

// Each output element is the unreduced sum over t of A[i, t] * B[t, j]
// (NOTE: [Unreduced sums]); memory is proportional to the operands and the
// result.  Shape errors are Value errors with the messages of the method.
RationalTensor matmul(const RationalTensor& a, const RationalTensor& b);

}  // namespace kalvex
