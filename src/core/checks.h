#pragma once
// What every operation checks before it touches residues.  Kernels read the
// slots as raw int64 memory along a basis of primes, so a record holding
// anything else (another dtype, rows that do not match its basis) must be
// refused here, before any kernel runs; and two operands only combine when
// their residues are taken modulo the same primes in the same order.
#include "core/rational_tensor.h"

namespace kalvex {

// num and denom int64 with a leading prime axis, primes an int64 vector of
// the same length as that axis.  Type error naming the slot and its dtype;
// Value error for the shape relation.
void check_residues(const RationalTensor& x);

// Both operands checked, then their bases compared by value (the same tensor
// passes without a look): Value error "operands use different prime bases".
void check_operands(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
