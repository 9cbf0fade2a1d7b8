// The trace: the diagonal as a vector, summed exactly.
#include <ATen/ATen.h>

#include "core/checks.h"
#include "core/errors.h"
#include "linalg/host_matrix.h"
#include "linalg/linalg.h"
#include "reduce/sum.h"

namespace kalvex::linalg {

RationalTensor trace(const RationalTensor& a) {
  const int64_t n = square_size(a, "trace requires square matrix");
  if (n == 0) torch_refusal([] { return at::stack(std::vector<at::Tensor>{}, 1); });  // no diagonal to stack
  check_residues(a);
  const RationalTensor diagonal{at::diagonal(a.num, 0, 1, 2), at::diagonal(a.denom, 0, 1, 2), a.primes,
                                c10::nullopt};
  return sum_all(diagonal);
}

}  // namespace kalvex::linalg
