#include "reduce/halving.h"

#include <ATen/ATen.h>

#include <vector>

#include "core/arith.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/residue_ops.h"
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

// Fractions over one denominator per prime (constant rows): k of them add up
// to d^(k-1) (n_1 + ... + n_k) / d^k, whatever the order (NOTE: [Unreduced
// sums]).  The numerators are summed as plain integers (below k * 2^31), the
// denominator stays one value per prime.
void sum_over_common_denominator(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                                 int64_t axis, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t k = num.size(axis);
  std::vector<int64_t> out_sizes(num.sizes().begin(), num.sizes().end());
  out_sizes.erase(out_sizes.begin() + axis);
  const at::Tensor column = prime_column(primes, static_cast<int64_t>(out_sizes.size()));
  auto powers = kernels::run(CommonDenominatorPowersOp{static_cast<uint64_t>(k)},
                             {first_elements(den).squeeze(axis)}, column);
  const at::Tensor sums = has_constant_rows(num) ? first_elements(num).squeeze(axis).mul(k) : num.sum(axis);
  out_num = kernels::run(ScaledSumOp{}, {sums, powers[0]}, column)[0].expand(out_sizes);
  out_den = powers[1].expand(out_sizes);
}

bool common_denominator_applies(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                                int64_t axis) {
  return has_constant_rows(den) && num.sizes().equals(den.sizes()) && num.scalar_type() == at::kLong &&
         den.scalar_type() == at::kLong && primes.dim() == 1 && primes.numel() == num.size(0) &&
         num.size(axis) > 0;
}

}  // namespace

void sum_axis(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
              at::Tensor& out_num, at::Tensor& out_den) {
  if (common_denominator_applies(num, den, primes, axis)) {
    sum_over_common_denominator(num, den, primes, axis, out_num, out_den);
    return;
  }
  if (cpu_kernel_applies(num, den, primes, axis)) {
    fold_axis_cpu(num.contiguous(), den.contiguous(), primes.contiguous(), axis, out_num, out_den);
    return;
  }
  halving_passes(num.movedim(axis, -1), den.movedim(axis, -1), primes, out_num, out_den);
}

}  // namespace kalvex
