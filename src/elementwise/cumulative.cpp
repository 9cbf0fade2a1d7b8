#include "elementwise/cumulative.h"

#include <ATen/ATen.h>

#include <vector>

#include "core/checks.h"
#include "core/errors.h"
#include "core/kernels/host_copy.h"
#include "core/kernels/residue_ops.h"
#include "elementwise/cumulative_starts.h"

namespace kalvex {

namespace {

std::shared_ptr<const CrtBasis> basis_of(const at::Tensor& host_primes) {
  const at::Tensor host = host_primes.contiguous();
  return crt_basis(host.data_ptr<int64_t>(), static_cast<size_t>(host.numel()));
}

// [2, rows, blocks] on the host: the start of every block.
at::Tensor new_starts(int64_t rows, int64_t blocks) { return at::empty({2, rows, blocks}, at::kLong); }

// Sums whose denominators in each row all equal the first one: the block
// totals and the starts come from the numerator sums alone, and the stored
// values from a closed form.
bool running_sums_shared(const RationalTensor& x, at::Tensor& out_num, at::Tensor& out_den) {
  const at::Tensor num = x.num.contiguous();
  const auto sums = kernels::shared_denominator_block_sums(num, x.denom, x.primes);
  if (!sums) return false;
  const int64_t rows = x.num.size(0), blocks = sums->size(1);
  const std::vector<at::Tensor> host = host_int64({x.denom.select(1, 0), x.primes});
  const at::Tensor shared = host[0].contiguous();
  at::Tensor starts = new_starts(rows, blocks);
  const BlockTotals totals{rows, blocks, nullptr, nullptr, sums->data_ptr<int64_t>(), shared.data_ptr<int64_t>(),
                           x.bits};
  block_starts(Running::Sum, totals, *basis_of(host[1]), starts[0].data_ptr<int64_t>(), starts[1].data_ptr<int64_t>());
  kernels::shared_denominator_running_sums(num, shared, x.primes, starts[0], starts[1], out_num, out_den);
  return true;
}

// The block-local running values from one scan, the block starts from one
// exact host pass over their totals (one copy each way, the primes riding
// with the totals), and the starts folded into the blocks.
template <typename Op>
void running_in_blocks(Running kind, const RationalTensor& x, at::Tensor& out_num, at::Tensor& out_den) {
  const at::Tensor primes = x.primes.to(x.num.device());
  kernels::scan_blocks<Op>(x.num, x.denom, primes, out_num, out_den);
  const std::vector<at::Tensor> host = host_int64({kernels::block_totals(out_num, out_den), primes});
  const at::Tensor totals = host[0].contiguous();
  const int64_t rows = totals.size(1), blocks = totals.size(2);
  at::Tensor starts = new_starts(rows, blocks);
  const BlockTotals block_totals{rows, blocks, totals[0].data_ptr<int64_t>(), totals[1].data_ptr<int64_t>(),
                                 nullptr, nullptr, x.bits};
  block_starts(kind, block_totals, *basis_of(host[1]), starts[0].data_ptr<int64_t>(), starts[1].data_ptr<int64_t>());
  kernels::fold_starts<Op>(starts[0], starts[1], primes, out_num, out_den);
}

}  // namespace

void check_running_dim(Running kind, at::IntArrayRef shape, int64_t dim) {
  const auto rank = static_cast<int64_t>(shape.size());
  if (dim < 0) dim += rank;
  if (dim < -rank || dim >= rank) fail(ErrorKind::Index, "list index out of range");
  if (rank != 1)
    fail(ErrorKind::NotImplemented, kind == Running::Sum ? "cumsum currently only supports 1D tensors"
                                                         : "cumprod currently only supports 1D tensors");
}

RationalTensor running(Running kind, const RationalTensor& x) {
  check_residues(x);
  if (x.num.dim() != 2 || !x.denom.sizes().equals(x.num.sizes()))
    fail(ErrorKind::Value, "running values need residues [P, n] for numerator and denominator alike");
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = kind == Running::Sum ? at::cumsum(*x.approx, 0) : at::cumprod(*x.approx, 0);
  at::Tensor out_num, out_den;
  if (x.num.size(1) == 0) {
    out_num = at::zeros_like(x.num);
    out_den = at::ones_like(x.denom);
  } else if (kind == Running::Product) {
    running_in_blocks<MulOp>(kind, x, out_num, out_den);
  } else if (!running_sums_shared(x, out_num, out_den)) {
    running_in_blocks<AddOp>(kind, x, out_num, out_den);
  }
  RationalTensor result{out_num, out_den, x.primes, approx};
  // The running values are those of the unreduced prefixes or smaller: each
  // block start is reduced, or carried unreduced (so no lower bound holds).
  const int64_t n = x.num.size(1);
  result.bits = kind == Running::Sum ? sum_of_bounds(x.bits, n) : product_of_bounds(x.bits, n);
  result.bits.num_floor = result.bits.den_floor = kNoFloor;
  return result;
}

}  // namespace kalvex
