#include "reduce/matmul.h"

#include <ATen/ATen.h>

#include <sstream>

#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/kernels/reduce.h"

namespace kalvex {

namespace {

std::string size_text(at::IntArrayRef sizes) {
  std::ostringstream out;
  out << "torch.Size([";
  for (size_t i = 0; i < sizes.size(); ++i) out << (i ? ", " : "") << sizes[i];
  out << "])";
  return out.str();
}

}  // namespace

RationalTensor matmul(const RationalTensor& a, const RationalTensor& b) {
  check_operands(a, b);
  if (a.num.dim() != 3 || b.num.dim() != 3) fail(ErrorKind::Value, "matmul requires 2D tensors");
  const int64_t m = a.num.size(1), k = a.num.size(2), k2 = b.num.size(1), n = b.num.size(2);
  if (k != k2) fail(ErrorKind::Value, "Shape mismatch: " + size_text(a.shape()) + " vs " + size_text(b.shape()));
  c10::optional<at::Tensor> approx;
  if (a.approx && b.approx) approx = at::matmul(*a.approx, *b.approx);
  if (k == 0) {
    // The empty sum: exact zeros.
    RationalTensor zeros = from_fraction(int64_t{0}, int64_t{1}, std::vector<int64_t>{m, n}, a.num.device());
    zeros.primes = a.primes;
    zeros.approx = approx;
    return zeros;
  }
  RationalTensor result{at::Tensor(), at::Tensor(), a.primes, approx};
  result.bits = sum_of_bounds(product_bounds(a.bits, b.bits), k);
  kernels::sum_of_products(a.num, a.denom, b.num, b.denom, a.primes, result.num, result.denom);
  return result;
}

}  // namespace kalvex
