#pragma once
// The float view of a tensor without an approximation, rebuilt from residues.
#include <ATen/core/Tensor.h>

namespace kalvex {

// A float32 tensor of `shape` ((1,) for a scalar) on `device`: per element
// 0.0 where the denominator reads back as 0, else the numerator and the
// denominator each rounded to the nearest double, divided in double.  Reads
// use the robust reconstruction (NOTE: [Robust read-back]).  num and denom are
// copied to the host once each; primes is the basis of their rows.
at::Tensor float_view(const at::Tensor& num, const at::Tensor& denom, const at::Tensor& primes,
                      at::IntArrayRef shape, at::Device device);

}  // namespace kalvex
