#pragma once
// The float view of a tensor without an approximation, rebuilt from residues.
#include <ATen/core/Tensor.h>

#include "core/rational_tensor.h"

namespace kalvex {

// A float32 tensor of `shape` ((1,) for a scalar) on `device`: per element
// 0.0 where the denominator reads back as 0, else the numerator and the
// denominator each rounded to the nearest double, divided in double; NaN
// where the element cannot be read (NOTE: [Robust read-back]).  The residues
// of x are copied to the host once each, its approximation is not looked at.
at::Tensor float_view(const RationalTensor& x, at::IntArrayRef shape, at::Device device);

}  // namespace kalvex
