#pragma once
// The value type of the library: a tensor of fractions N/D, each of N and D
// held as its residues modulo the primes of `primes` along a leading axis.
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include <algorithm>
#include <vector>

#include "core/bit_bounds.h"

namespace kalvex {

struct RationalTensor {
  at::Tensor num;                     // int64 [P, *shape], row i modulo primes[i]
  at::Tensor denom;                   // int64 [P, *shape]
  at::Tensor primes;                  // int64 [P]
  c10::optional<at::Tensor> approx;   // float [*shape], or none
  BitBounds bits;                     // sizes of the integers held (NOTE: [Size bounds])

  // The user shape: the residue shape without its prime axis (empty for a
  // malformed zero-dimensional residue tensor).
  at::IntArrayRef shape() const { return num.dim() == 0 ? num.sizes() : num.sizes().slice(1); }
};

// The primes as a column [P, 1, ..., 1] that broadcasts against residues of
// `dims` dimensions along their prime axis.
inline at::Tensor prime_column(const at::Tensor& primes, int64_t dims) {
  std::vector<int64_t> view(static_cast<size_t>(std::max<int64_t>(dims, 1)), 1);
  view[0] = -1;
  return primes.view(view);
}

}  // namespace kalvex
