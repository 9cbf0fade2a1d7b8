#pragma once
// Making values from host numbers and from float tensors.
#include <ATen/core/Tensor.h>

#include <array>

#include "core/basis.h"
#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex {

using Residues = std::array<int64_t, kNumPrimes>;

// The floor residues of an integer modulo each prime of the standard basis.
Residues residues_of(int64_t value);
Residues residues_of(const BigInt& value);

// An int64 tensor [P, *shape] on `device` whose row i is filled with res[i].
at::Tensor filled_residues(const Residues& res, at::IntArrayRef shape, at::Device device);

// A float32 tensor of `shape` on `device`, filled with `value`.
at::Tensor filled_approx(double value, at::IntArrayRef shape, at::Device device);

// num/denom filled into `shape`, stored unreduced; the approximation is the
// correctly rounded quotient (ZeroDivision and Overflow errors as Python's).
// Values made afresh hold the standard basis of their device.
RationalTensor from_fraction(const BigInt& num, const BigInt& denom, at::IntArrayRef shape, at::Device device);
RationalTensor from_fraction(int64_t num, int64_t denom, at::IntArrayRef shape, at::Device device);

// Every element v of x (already on its target device) captured as
// trunc(v * 2^52) / 2^52; the approximation is x as float32.
RationalTensor from_tensor(const at::Tensor& x);

}  // namespace kalvex
