#pragma once
// Making values from host numbers and from float tensors.
#include <ATen/core/Tensor.h>

#include <array>
#include <vector>

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

// The size bound of an integer (NOTE: [Size bounds]): log2 |v| rounded up,
// decided exactly against M // 2 of the standard basis near the range's end.
int64_t value_bound(mpz_srcptr v);
inline int64_t value_bound(const BigInt& v) { return value_bound(v.get()); }
int64_t value_bound(int64_t v);

// The lower bound: log2 |v| rounded down (kNoFloor for 0).
int64_t value_floor(mpz_srcptr v);
int64_t value_floor(int64_t v);

// Both bounds of both halves of num / den, exactly as far as they go.
BitBounds exact_bounds(const BigInt& num, const BigInt& den);
BitBounds exact_bounds(int64_t num, int64_t den);

// num/denom filled into `shape`, stored unreduced; the approximation is the
// correctly rounded quotient (ZeroDivision and Overflow errors as Python's).
// Values made afresh hold the standard basis of their device and the exact
// sizes of their integers.
RationalTensor from_fraction(const BigInt& num, const BigInt& denom, at::IntArrayRef shape, at::Device device);
RationalTensor from_fraction(int64_t num, int64_t denom, at::IntArrayRef shape, at::Device device);

// num / den (den != 0) correctly rounded to a double, as Python's int / int;
// beyond the double range an infinity of the quotient's sign.
double nearest_quotient(const BigInt& num, const BigInt& den);
double nearest_quotient(int64_t num, int64_t den);

// An exact value the library computed (den != 0), stored as from_fraction
// stores it, except that a quotient beyond the double range is an infinite
// approximation rather than an error.
RationalTensor from_value(const BigInt& num, const BigInt& den, at::IntArrayRef shape, at::Device device);

// Fractions held on the host, one per element in row-major order: those
// whose halves fit int64 in `num` / `den`, the others (their positions
// marked by den == 0) in `large`.
struct HostFractions {
  struct Large {
    size_t position;
    BigInt num, den;
  };
  std::vector<int64_t> num, den;
  std::vector<Large> large;
};

// The fractions of `values` (none with a zero denominator) as a tensor of
// `shape`, each stored as from_value stores one: unreduced, with the
// correctly rounded quotient as approximation (infinite beyond the double
// range); the sizes are those of the largest and smallest halves.
RationalTensor from_host_fractions(const HostFractions& values, at::IntArrayRef shape, at::Device device);

// A value known only by its residues: one column per half filled into
// `shape`, with its approximation and the sizes of its integers.
RationalTensor filled_value(const Residues& num, const Residues& den, double approx, const BitBounds& bits,
                            at::IntArrayRef shape, at::Device device);

// NOTE: [Exact capture]
// Every element v of x (already on its target device) is captured as
// trunc(v * 2^52) / 2^52, exactly, whatever its size: a finite double is
// m 2^e with m an integer below 2^53, so below 2048 in magnitude v 2^52 is an
// int64 that the fast loops reduce per prime, and beyond it is m 2^(e + 52)
// exactly, reduced as (m mod p)(2^(e + 52) mod p).  Integers v are v 2^52.
// NaN and infinities are refused (Value error naming them).  The
// approximation is x as float32.
RationalTensor from_tensor(const at::Tensor& x);

// trunc(v * 2^52) of one finite double, exactly (Value error otherwise).
BigInt captured_numerator(double v);

}  // namespace kalvex
