#pragma once
// Exact element-wise arithmetic.  Fractions are combined by cross
// multiplication, residue by residue; nothing is reduced and no value is
// inspected, so every result is exact modulo each prime.
#include <utility>

#include "core/rational_tensor.h"

namespace kalvex {

enum class BinaryOp { Add, Sub, Mul, Div };

// x op y with the user shapes broadcast as torch broadcasts them.
// The approximation is combined when both operands carry one.
RationalTensor binary(BinaryOp op, const RationalTensor& x, const RationalTensor& y);

// The approximation of x op y from the operands' approximations, as torch
// computes it (a divisor gets 1e-30 added first).
at::Tensor combine_approx(BinaryOp op, const at::Tensor& a, const at::Tensor& b);

// Exact element-wise x == y (a bool tensor of the broadcast shape): true
// where the cross products agree modulo every prime.
at::Tensor equal(const RationalTensor& x, const RationalTensor& y);

// x and y with the one of lower rank given leading user axes of size 1 (its
// residues after the prime axis, its approximation in front), so that their
// user shapes broadcast as torch broadcasts tensors of different ranks.
// Views; the sizes of the integers are kept.
std::pair<RationalTensor, RationalTensor> with_common_rank(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
