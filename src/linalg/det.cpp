// The determinant: the entry itself for 1 x 1, the exact zero of shape []
// for 0 x 0, one exact host computation from 2 x 2 to 5 x 5.
#include <ATen/ATen.h>

#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/standard_basis.h"
#include "linalg/evaluator.h"
#include "linalg/host_matrix.h"
#include "linalg/linalg.h"

namespace kalvex::linalg {

namespace {

// A value the chain rebuilt lives in the standard basis with its
// approximation; one it kept carries none.
RationalTensor det_tensor(const ChainResult& value, int64_t n, const RationalTensor& a) {
  const at::Device device = a.num.device();
  const std::vector<int64_t> one{1};
  RationalTensor out{filled_residues(value.residues.num, one, device), filled_residues(value.residues.den, one, device),
                     a.primes, c10::nullopt};
  out.bits = value.bits;
  if (value.rebuilt) {
    out.primes = standard_primes(device);
    out.approx = filled_approx(value.quotient, one, device);
  } else if (n >= 4) {
    out.primes = standard_primes(device);  // the expansion's sums keep the primes of the zero they start from
  }
  return out;
}

}  // namespace

RationalTensor det(const RationalTensor& a) {
  const int64_t n = square_size(a, "det requires square matrix");
  if (n > 5) fail(ErrorKind::NotImplemented, "det only supports matrices up to 5x5");
  if (n == 0) return from_fraction(int64_t{0}, int64_t{1}, {}, a.num.device());
  if (n == 1) {
    check_residues(a);
    RationalTensor entry{a.num.select(1, 0), a.denom.select(1, 0), a.primes, c10::nullopt};
    entry.bits = a.bits;
    return entry;
  }
  check_matrix(a);
  const HostOperands host = copy_to_host(a);
  Evaluator& evaluator = Evaluator::of(host.primes);
  return det_tensor(evaluator.det(host.matrix), n, a);
}

}  // namespace kalvex::linalg
