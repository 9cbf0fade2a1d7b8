#pragma once
// Exact read-back of one-element tensors: the one rule by which a value is
// read on the host, for the caller (to_rational, to_decimal, simplify) and
// for every host shortcut of the library (powers, series, Newton, variance).
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex {

struct Fraction {
  BigInt num;
  BigInt den;
};

// Only shapes () and (1,) are read back exactly; anything else is a Value error.
void check_scalar_shape(at::IntArrayRef shape);

// The value of a one-element tensor in lowest terms with a non-negative
// denominator (NOTE: [Robust read-back]).  A zero denominator gives (1, 0),
// (-1, 0) or (0, 0) by the sign of the numerator.  A value that cannot be
// read is an Overflow error naming the exact range.
Fraction read_scalar(const RationalTensor& t);

// The value of a one-element tensor, in lowest terms, when it reads back with
// a non-zero denominator; none otherwise (no value to compute with).  Every
// host shortcut takes its inputs through this one rule.
c10::optional<Fraction> value_of(const RationalTensor& t);

// `t`, of user shape `shape`, rebuilt on `device` from its reduced value; none
// where that cannot be done (another shape, a zero denominator, a value that
// does not read back).  Never throws.
c10::optional<RationalTensor> simplified(const RationalTensor& t, at::IntArrayRef shape, at::Device device);

// The message of the Overflow error for a value that cannot be read.
extern const char* const kUnreadableMessage;

}  // namespace kalvex
