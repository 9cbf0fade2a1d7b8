#include "reduce/halving.h"

#include <ATen/ATen.h>

#include "core/arith.h"
#include "core/paths.h"
#include "reduce/fold_cpu.h"

namespace kalvex {

namespace {

bool cpu_kernel_applies(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis) {
  return host_residues(num, den, primes) && num.size(axis) > 0;
}

// Halving passes along the last axis: column 2i plus column 2i+1, an odd last
// column carried to the end, each pass one fused addition over all pairs.
void halving_passes(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, at::Tensor& out_num,
                    at::Tensor& out_den) {
  RationalTensor acc{num, den, primes, c10::nullopt};
  while (acc.num.size(-1) > 1) {
    const int64_t k = acc.num.size(-1);
    const int64_t even_k = k - (k % 2);
    RationalTensor left{acc.num.slice(-1, 0, even_k, 2), acc.denom.slice(-1, 0, even_k, 2), primes, c10::nullopt};
    RationalTensor right{acc.num.slice(-1, 1, even_k, 2), acc.denom.slice(-1, 1, even_k, 2), primes, c10::nullopt};
    RationalTensor pairs = binary(BinaryOp::Add, left, right);
    if (k % 2 == 1) {
      pairs.num = at::cat({pairs.num, acc.num.slice(-1, k - 1, k)}, -1);
      pairs.denom = at::cat({pairs.denom, acc.denom.slice(-1, k - 1, k)}, -1);
    }
    acc = pairs;
  }
  out_num = acc.num.squeeze(-1);
  out_den = acc.denom.squeeze(-1);
}

}  // namespace

void sum_axis(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
              at::Tensor& out_num, at::Tensor& out_den) {
  if (cpu_kernel_applies(num, den, primes, axis)) {
    fold_axis_cpu(num.contiguous(), den.contiguous(), primes.contiguous(), axis, out_num, out_den);
    return;
  }
  halving_passes(num.movedim(axis, -1), den.movedim(axis, -1), primes, out_num, out_den);
}

}  // namespace kalvex
