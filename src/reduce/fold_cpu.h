#pragma once
// CPU kernel: the sum of fractions along one axis of contiguous residues.
#include <ATen/core/Tensor.h>

namespace kalvex {

// num, den: contiguous int64 [P, ...] with equal shapes; primes: contiguous
// int64 [P]; 1 <= axis < num.dim(), an axis of length at least 1.  Returns
// the unreduced sums with that axis removed (NOTE: [Unreduced sums]).
void fold_axis_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
                   at::Tensor& out_num, at::Tensor& out_den);

}  // namespace kalvex
