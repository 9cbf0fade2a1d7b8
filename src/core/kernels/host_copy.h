#pragma once
// Data between the host and a device: the one place that decides between
// using tensors where they lie and copying them, in one transfer each way.
#include <ATen/core/Tensor.h>

#include <vector>

namespace kalvex {

// The tensors as host int64 tensors of their own shapes: each one read where
// it lies when the host loops may read it there (int64 on the CPU, host paths
// on), the others all in one device-to-host copy and then converted to int64
// on the host (entries taken as integers, as the host's int() takes them).
// In-place results keep their strides; copied ones are contiguous.
std::vector<at::Tensor> host_int64(at::TensorList tensors);
inline at::Tensor host_int64(const at::Tensor& t) { return host_int64(at::TensorList(t))[0]; }

// Tensors written on the host, on `device`: themselves where the host loops
// run, else all of them in one host-to-device copy (contiguous, of their own
// shapes and one dtype).
std::vector<at::Tensor> on_device(at::TensorList host, at::Device device);

// An int64 index tensor holding `values`, on `device`.
at::Tensor index_tensor(const std::vector<int64_t>& values, at::Device device);

}  // namespace kalvex
