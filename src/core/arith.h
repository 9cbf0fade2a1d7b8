#pragma once
// Exact element-wise arithmetic.  Fractions are combined by cross
// multiplication, residue by residue; nothing is reduced and no value is
// inspected, so every result is exact modulo each prime.
#include "core/rational_tensor.h"

namespace kalvex {

enum class BinaryOp { Add, Sub, Mul, Div };

// x op y with broadcasting of operands of the same number of dimensions.
// The approximation is combined when both operands carry one.
RationalTensor binary(BinaryOp op, const RationalTensor& x, const RationalTensor& y);

// The approximation of x op y from the operands' approximations, as torch
// computes it (a divisor gets 1e-30 added first).
at::Tensor combine_approx(BinaryOp op, const at::Tensor& a, const at::Tensor& b);

// -x; the denominator residues are copied.
RationalTensor negate(const RationalTensor& x);

// Exact element-wise x == y (a bool tensor of the broadcast shape): true
// where the cross products agree modulo every prime.
at::Tensor equal(const RationalTensor& x, const RationalTensor& y);

// Operands of different ranks would align the prime axis of one with a user
// axis of the other: a Runtime error naming both shapes.
void check_same_rank(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
