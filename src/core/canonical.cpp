#include "core/canonical.h"

#include <ATen/ATen.h>

#include "core/paths.h"
#include "core/rational_tensor.h"

namespace kalvex {

at::Tensor canonical_residues(const at::Tensor& residues, const at::Tensor& primes, bool& checked) {
  checked = false;
  if (!residues.defined() || !primes.defined() || residues.scalar_type() != at::kLong || residues.dim() < 1 ||
      primes.dim() != 1 || residues.size(0) != primes.size(0) || residues.device() != primes.device() ||
      !valid_basis(primes))
    return residues;
  checked = true;
  if (residues.numel() == 0) return residues;
  const at::Tensor column = prime_column(primes, residues.dim());
  const bool in_range = at::logical_and(residues.ge(0), residues.lt(column)).all().item<bool>();
  return in_range ? residues : at::remainder(residues, column);
}

}  // namespace kalvex
