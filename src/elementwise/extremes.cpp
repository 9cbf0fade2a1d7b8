#include "elementwise/extremes.h"

#include <ATen/ATen.h>

#include "core/basis.h"
#include "core/checks.h"
#include "reconstruct/exact_decisions.h"

namespace kalvex {

RationalTensor extreme(const RationalTensor& x, const at::Tensor& view, bool largest, bool has_approx) {
  check_residues(x);
  const int64_t index = decided_extreme_index(x, view, largest);
  const at::Tensor num = x.num.view({kNumPrimes, -1}).select(1, index);
  const at::Tensor denom = x.denom.view({kNumPrimes, -1}).select(1, index);
  c10::optional<at::Tensor> approx;
  if (has_approx) approx = view.flatten().select(0, index).unsqueeze(0);
  RationalTensor result{num.unsqueeze(1), denom.unsqueeze(1), x.primes, approx};
  result.bits = x.bits;
  return result;
}

}  // namespace kalvex
