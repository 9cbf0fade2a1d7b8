#pragma once
// The standard basis as a tensor, one per device, made once and shared by
// every value made afresh there: operands that share it compare bases by
// identity, without reading them.
#include <ATen/core/Tensor.h>

namespace kalvex {

// Hands the core the CPU tensor of the standard basis (the module's PRIMES),
// so that values made on the CPU hold that very tensor.  Called once, at
// import, before any value is made.
void set_standard_primes(const at::Tensor& cpu_primes);

// kStandardPrimes as an int64 tensor [P] on `device` ("cuda" without an
// index is the current CUDA device): on the CPU the tensor handed over at
// import, elsewhere one copy per device, made on first use and kept.
at::Tensor standard_primes(at::Device device);

}  // namespace kalvex
