#pragma once
// What every operation checks before it touches residues.  Kernels read the
// slots as raw int64 memory along a basis of primes, so a record holding
// anything else (another dtype, rows that do not match its basis) must be
// refused here, before any kernel runs; and two operands only combine when
// their residues are taken modulo the same primes in the same order.
#include "core/rational_tensor.h"

namespace kalvex {

// num and denom int64 with a leading prime axis, primes an int64 vector of
// the same length as that axis.  Type error naming the slot and its dtype
// ("ModularTensor attribute 'num' must hold int64 residues, got
// torch.int16"); Value error for the shape relation.  Devices are left to the
// operation, which refuses a mix with torch's error.
void check_residues(const RationalTensor& x);

// Both operands checked, then their bases compared by value (the same tensor
// passes without a look): Value error "ModularTensor operands use different
// prime bases".  A y without primes (undefined) is checked against x's.
void check_operands(const RationalTensor& x, const RationalTensor& y);

// Whether two int64 prime vectors hold the same primes in the same order.
bool same_basis(const at::Tensor& a, const at::Tensor& b);

}  // namespace kalvex
