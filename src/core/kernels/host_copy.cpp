#include "core/kernels/host_copy.h"

#include <ATen/ATen.h>

#include <algorithm>

#include "core/paths.h"

namespace kalvex {

std::vector<at::Tensor> host_int64(at::TensorList tensors) {
  std::vector<at::Tensor> out(tensors.begin(), tensors.end());
  std::vector<size_t> moved;
  for (size_t k = 0; k < out.size(); ++k) {
    if (!(host_paths(out[k]) && out[k].scalar_type() == at::kLong)) moved.push_back(k);
  }
  if (moved.empty()) return out;
  // One flat transfer when they share a device and a dtype (a concatenation
  // would otherwise move or promote them).
  const at::Tensor& first = out[moved.front()];
  bool together = moved.size() > 1;
  for (size_t k : moved)
    together = together && out[k].device() == first.device() && out[k].scalar_type() == first.scalar_type();
  if (!together) {
    for (size_t k : moved) out[k] = out[k].cpu().to(at::kLong);
    return out;
  }
  std::vector<at::Tensor> flat;
  for (size_t k : moved) flat.push_back(out[k].reshape({-1}));
  const at::Tensor host = at::cat(flat).cpu().to(at::kLong);
  int64_t offset = 0;
  for (size_t k : moved) {
    const int64_t count = out[k].numel();
    out[k] = host.narrow(0, offset, count).view(out[k].sizes());
    offset += count;
  }
  return out;
}

std::vector<at::Tensor> on_device(at::TensorList host, at::Device device) {
  std::vector<at::Tensor> out(host.begin(), host.end());
  if (host_paths(device) || out.empty()) return out;
  if (out.size() == 1) {
    out[0] = out[0].to(device);
    return out;
  }
  std::vector<at::Tensor> flat;
  for (const at::Tensor& t : out) flat.push_back(t.reshape({-1}));
  const at::Tensor moved = at::cat(flat).to(device);
  int64_t offset = 0;
  for (at::Tensor& t : out) {
    const int64_t count = t.numel();
    t = moved.narrow(0, offset, count).view(t.sizes());
    offset += count;
  }
  return out;
}

at::Tensor index_tensor(const std::vector<int64_t>& values, at::Device device) {
  at::Tensor t = at::empty({static_cast<int64_t>(values.size())}, at::TensorOptions().dtype(at::kLong));
  std::copy(values.begin(), values.end(), t.data_ptr<int64_t>());
  return on_device({t}, device)[0];
}

}  // namespace kalvex
