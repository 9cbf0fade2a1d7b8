// The inverse of a 1 x 1 or 2 x 2 matrix: the reciprocal of the determinant,
// or the adjugate divided by it.  The determinant comes first for every size.
#include <ATen/ATen.h>

#include "core/errors.h"
#include "linalg/evaluator.h"
#include "linalg/host_matrix.h"
#include "linalg/linalg.h"

namespace kalvex::linalg {

namespace {

// 1 / det, reshaped to [1, 1]: the determinant's residues exchanged.
RationalTensor reciprocal_matrix(const RationalTensor& d) {
  c10::optional<at::Tensor> approx;
  if (d.approx) approx = at::reciprocal(*d.approx).reshape({1, 1});
  RationalTensor out{d.denom.clone().reshape({kNumPrimes, 1, 1}), d.num.clone().reshape({kNumPrimes, 1, 1}),
                     d.primes, approx};
  out.bits = swapped(d.bits);
  return out;
}

// [[d, -b], [-c, a]] / det, each entry the unreduced quotient the division
// makes: numerator times det's denominator, denominator times its numerator.
RationalTensor adjugate_over(const RationalTensor& a, const HostOperands& host, const ResidueFraction& det,
                             const BitBounds& det_bits) {
  const HostMatrix& m = host.matrix;
  const PrimeRow& p = host.primes;
  ResidueFraction minus_b = m.at(0, 1), minus_c = m.at(1, 0);
  minus_b.num = negated(minus_b.num, p);
  minus_c.num = negated(minus_c.num, p);
  const std::vector<ResidueFraction> entries = {div(m.at(1, 1), det, p), div(minus_b, det, p), div(minus_c, det, p),
                                                div(m.at(0, 0), det, p)};
  const ResidueTensors t = residue_tensors(entries, {2, 2}, a.num.device());
  RationalTensor out{t.num, t.den, a.primes, c10::nullopt};
  out.bits = quotient_bounds(m.bits, det_bits);
  return out;
}

[[noreturn]] void refuse_size() {
  fail(ErrorKind::NotImplemented, "inv only supports matrices up to 2x2 currently");
}

}  // namespace

RationalTensor inv(const RationalTensor& a, const DetSource& det_of_a) {
  const int64_t n = square_size(a, "inv requires square matrix");
  if (det_of_a || n != 2) {
    const RationalTensor d = det_of_a ? det_of_a() : det(a);
    if (n == 1) return reciprocal_matrix(d);
    if (n != 2) refuse_size();
    check_matrix(a);
    const HostOperands host = copy_to_host(a);
    return adjugate_over(a, host, host_scalar(d.num, d.denom, host.primes), d.bits);
  }
  check_matrix(a);
  const HostOperands host = copy_to_host(a);
  Evaluator& evaluator = Evaluator::of(host.primes);
  const ChainResult d = evaluator.det(host.matrix);
  return adjugate_over(a, host, d.residues, d.bits);
}

}  // namespace kalvex::linalg
