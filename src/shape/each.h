#pragma once
// The one pattern of every shape and selection operation: the same torch
// operation on both residue tensors, its user-level twin on the approximation.
#include "core/rational_tensor.h"

namespace kalvex {

template <typename OnResidues, typename OnApprox>
RationalTensor on_each(const RationalTensor& x, OnResidues&& on_residues, OnApprox&& on_approx) {
  RationalTensor r;
  r.num = on_residues(x.num);
  r.denom = on_residues(x.denom);
  r.primes = x.primes;
  r.bits = x.bits;
  if (x.approx) r.approx = on_approx(*x.approx);
  return r;
}

}  // namespace kalvex
