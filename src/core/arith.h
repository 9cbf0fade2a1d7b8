#pragma once
// Exact element-wise arithmetic.  Fractions are combined by cross
// multiplication, residue by residue; nothing is reduced and no value is
// inspected, so every result is exact modulo each prime.
#include "core/kernels/residue_ops.h"
#include "core/rational_tensor.h"

namespace kalvex {

// x op y with broadcasting of operands of the same number of dimensions.
// The approximation is combined when both operands carry one.
RationalTensor binary(BinaryOp op, const RationalTensor& x, const RationalTensor& y);

// -x; the denominator residues are copied.
RationalTensor negate(const RationalTensor& x);

// Exact element-wise x == y (a bool tensor of the broadcast shape): true
// where the cross products agree modulo every prime.
at::Tensor equal(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
