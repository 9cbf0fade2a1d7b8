// Cramer's rule for systems up to 4 x 4: x_i = det(A_i) / det(A), each
// quotient reduced.  Where every entry has a value the components are the
// exact solution, found by one fraction-free elimination of [A | b].
#include <ATen/ATen.h>

#include "core/errors.h"
#include "linalg/evaluator.h"
#include "linalg/host_matrix.h"
#include "linalg/linalg.h"

namespace kalvex::linalg {

namespace {

// A with its column i replaced by b.
HostMatrix with_column(const HostMatrix& a, const HostMatrix& b, int64_t i) {
  HostMatrix out = a;
  for (int64_t r = 0; r < a.rows; ++r) out.at(r, i) = b.at(r, 0);
  out.bits = either_bounds(a.bits, b.bits);
  return out;
}

// Cramer's rule step by step on residues: each quotient divided and reduced
// as the chain does it (a singular A leaves zero denominators).
std::vector<ResidueFraction> cramer(const HostMatrix& a, const HostMatrix& b, const ChainResult& det_a,
                                    Evaluator& evaluator, const PrimeRow& primes, BitBounds& bits) {
  std::vector<ResidueFraction> x;
  bits = {0, 0, kUnknownBound, kUnknownBound};  // the widest of the components, below
  for (int64_t i = 0; i < a.rows; ++i) {
    const ChainResult det_i = evaluator.det(with_column(a, b, i));
    ChainResult xi;
    xi.residues = div(det_i.residues, det_a.residues, primes);
    xi.bits = quotient_bounds(det_i.bits, det_a.bits);
    evaluator.chain().simplify(xi);
    x.push_back(xi.residues);
    bits = either_bounds(bits, xi.bits);
  }
  return x;
}

RationalTensor solution(const std::vector<ResidueFraction>& x, const BitBounds& bits, const RationalTensor& a) {
  const ResidueTensors t = residue_tensors(x, {static_cast<int64_t>(x.size())}, a.num.device());
  RationalTensor out{t.num, t.den, a.primes, c10::nullopt};
  out.bits = bits;
  return out;
}

}  // namespace

RationalTensor solve(const RationalTensor& a, const ColumnSource& b,
                     const DetSource& det_of_a) {
  const int64_t n = square_size(a, "solve requires square matrix A");
  if (n > 4) fail(ErrorKind::NotImplemented, "solve only supports systems up to 4x4");
  c10::optional<RationalTensor> given;
  if (det_of_a) given = det_of_a();
  if (n == 0) {
    if (!given) det(a);
    torch_refusal([] { return at::stack(std::vector<at::Tensor>{}, 1); });  // no component to stack
  }
  // det(A) comes before the first column is assigned: whatever refuses A
  // (its slots, its primes, a basis without CRT constants) is checked before
  // b is looked at; the value itself follows from the same host copy.
  check_matrix(a);
  const HostOperands host = copy_to_host(a);
  basis_of(host.primes);
  const Column column = b(kNumPrimes, n);
  const HostMatrix rhs = copy_column_to_host(column.num, column.den, n, host.primes, column.bits);

  Evaluator& evaluator = Evaluator::of(host.primes);  // after b: reading b may call back into Python
  std::vector<ResidueFraction> x;
  BitBounds bits;
  if (!given && evaluator.solve(host.matrix, rhs, x, bits)) return solution(x, bits, a);
  ChainResult det_a;
  if (given) {
    det_a.residues = host_scalar(given->num, given->denom, host.primes);
    det_a.bits = given->bits;
  } else {
    det_a = evaluator.det(host.matrix);
  }
  x = cramer(host.matrix, rhs, det_a, evaluator, host.primes, bits);
  return solution(x, bits, a);
}

}  // namespace kalvex::linalg
