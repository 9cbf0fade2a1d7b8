#pragma once
// Results built once from host residues.
#include <ATen/core/Tensor.h>

#include <vector>

#include "linalg/residue_fraction.h"

namespace kalvex::linalg {

struct ResidueTensors {
  at::Tensor num, den;  // int64 [P, *shape]
};

// The elements (row-major over `shape`) as residue tensors on `device`:
// written in place on the host, one transfer for a device.
ResidueTensors residue_tensors(const std::vector<ResidueFraction>& elements, at::IntArrayRef shape,
                               at::Device device);

}  // namespace kalvex::linalg
