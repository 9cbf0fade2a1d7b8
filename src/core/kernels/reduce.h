#pragma once
// The launchers of reductions: a fold step (AddOp, MulOp: residue_ops.h)
// applied along one axis, and the sum of products of a matrix product.
//
// NOTE: [Unreduced sums]
// Adding n_i/d_i pairwise by cross multiplication gives
//   N = sum_i n_i * prod_{j != i} d_j,   D = prod_j d_j
// whatever the order and grouping of the additions, and products are
// numerators and denominators multiplied apart, so every reduction order,
// tree shape or kernel yields the same residues.  Each backend below chooses
// the order that suits its hardware: the CPU folds rows in vector lanes,
// other devices halve whole tensors with the element-wise launcher.  Which
// backend runs, and the layouts with constant rows, are decided here only.
#include <ATen/core/Tensor.h>

namespace kalvex::kernels {

// The fractions num/den ([P, ...], row i modulo primes[i]) folded along
// `axis` (>= 1, of length >= 1, removed) with Op's step; unreduced.
template <typename Op>
void reduce(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
            at::Tensor& out_num, at::Tensor& out_den);

// The matrix product of a [P, m, k] and b [P, k, n] (k >= 1): each output
// element the unreduced sum over t of a[:, i, t] * b[:, t, j], in memory
// proportional to the operands and the result.
void sum_of_products(const at::Tensor& a_num, const at::Tensor& a_den, const at::Tensor& b_num,
                     const at::Tensor& b_den, const at::Tensor& primes, at::Tensor& out_num, at::Tensor& out_den);

}  // namespace kalvex::kernels

// The fold steps reduce() is built for.
#define KALVEX_REDUCTIONS(REDUCTION) \
  REDUCTION(AddOp)                   \
  REDUCTION(MulOp)
