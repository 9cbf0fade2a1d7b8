#pragma once
// Integer powers, defined by exponentiation by squaring with a simplify after
// every product: ones for n = 0, x itself for n = 1, the exact division of
// ones by x^-n for n < 0.
//
// For n >= 2 the chain is never run step by step where its outcome is known:
//  - a one-element x whose value reads back (a/b) is raised in one exact host
//    computation: a^n / b^n is already in lowest terms, which is what the
//    chain's last simplify builds while every step is in range, and the exact
//    value beyond it (approximation saturating to +-inf or 0 past the float
//    range);
//  - any other x (more elements, or shape (1, 1)) is left unreduced by
//    simplify, so the chain leaves the residue-wise power a^n / b^n: one fused
//    pass, the approximation multiplied in the chain's order.
// One-element values that do not read back (zero denominators, pairs past the
// read-back range) and exponents beyond 64 bits on larger tensors take the
// chain itself.
#include <c10/util/Optional.h>

#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex {

// x^n; none for n = 1 (the caller returns x itself).  `shape` and `device`
// are x's user shape and device; results made afresh (ones, rebuilt values)
// live in the standard basis there.
c10::optional<RationalTensor> power(const RationalTensor& x, const BigInt& n, at::IntArrayRef shape,
                                    at::Device device);

}  // namespace kalvex
