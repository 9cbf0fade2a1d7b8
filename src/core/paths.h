#pragma once
// Which code an operation runs: the host loops written for CPU tensors, or
// the generic paths every other device takes (whole-tensor torch operations
// and the kernel launcher's iterator).
//
// The generic paths can be forced for CPU tensors too: the module reads
// KALVEX_GENERIC_PATHS=1 from the environment once, at import.  The whole
// test suite then runs the code a GPU would run on any machine; results are
// the same either way, residues, approximations and errors alike.
#include <ATen/core/Tensor.h>

namespace kalvex {

// Whether CPU tensors take the generic paths.
bool generic_paths();
void set_generic_paths(bool on);

// Whether host loops may work on a device or on tensors where they are: the
// CPU, with the generic paths not forced.
bool host_paths(at::Device device);
template <typename... Tensors>
bool host_paths(const at::Tensor& first, const Tensors&... rest) {
  return !generic_paths() && first.is_cpu() && (rest.is_cpu() && ...);
}

// A basis the kernels can reduce by: an int64 vector of entries in
// [2, 2^31) (read on the host, whatever the device).
bool valid_basis(const at::Tensor& primes);

// The layout every host loop over residues reads: num and den int64 of one
// shape [rows, ...], on the CPU, with host paths on.  Loops take them through
// .contiguous(), which costs nothing in the usual case.
bool host_residues(const at::Tensor& num, const at::Tensor& den, int64_t rows);
// The same with the basis they are taken modulo: primes a valid basis of
// `rows` entries, on the CPU as well.
bool host_residues(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes);

}  // namespace kalvex
