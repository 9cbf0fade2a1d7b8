#pragma once
// Pairwise reduction of fractions along the last axis of residue tensors.
//
// NOTE: [Unreduced sums]
// Adding n_i/d_i pairwise by cross multiplication gives
//   N = sum_i n_i * prod_{j != i} d_j,   D = prod_j d_j
// whatever the order and grouping of the additions, so every reduction order,
// tree shape or kernel yields the same residues.  The reductions below choose
// the order that suits the hardware.
#include <ATen/core/Tensor.h>

namespace kalvex {

// Sums the fractions num/den along `axis` (>= 1, which is removed); rows of
// the leading axis are modulo primes[i].  The result is unreduced.
void sum_axis(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
              at::Tensor& out_num, at::Tensor& out_den);

}  // namespace kalvex
