#pragma once
// Truncated Taylor series with exact coefficients:
//   exp   sum_{n < terms} x^n / n!
//   sin   sum_{n < terms} (-1)^n x^(2n+1) / (2n+1)!
//   cos   sum_{n < terms} (-1)^n x^(2n) / (2n)!
//   log1p sum_{1 <= n <= terms} (-1)^(n+1) x^n / n
//   sqrt  sum_{n < terms} C(1/2, n) (a - 1)^n
// Each term is reduced to lowest terms as it is added, which only
// one-element tensors take; a one-element input is computed as one exact
// host chain (NOTE: [One exact chain on the host]).
#include <ATen/core/Tensor.h>

#include "core/rational_tensor.h"

namespace kalvex {

enum class Series { Exp, Sin, Cos, Log1p, Sqrt };

// The series of x, whose user shape is `shape` and whose device slot names
// `device`; the result has that shape and device and the standard basis
// there.  Counts of 0 or below add no term.
RationalTensor taylor(Series series, const RationalTensor& x, at::IntArrayRef shape, at::Device device,
                      int64_t terms);

}  // namespace kalvex
