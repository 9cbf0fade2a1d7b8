#pragma once
// Residue and prime tensors as host int64 values: one device-to-host copy,
// then a dtype conversion only when the slot holds another integer type
// (entries are taken as integers, as the host's int() would take them).
#include <ATen/ATen.h>

namespace kalvex {

inline at::Tensor host_int64(const at::Tensor& t) { return t.cpu().to(at::kLong); }

}  // namespace kalvex
