#include "elementwise/cumulative.h"

#include <ATen/ATen.h>

#include <vector>

#include "core/arith.h"
#include "core/checks.h"
#include "core/errors.h"
#include "core/paths.h"
#include "elementwise/cumulative_parts.h"
#include "reconstruct/host_int64.h"

namespace kalvex {

namespace {

int64_t block_count(int64_t n) { return (n + kRunningBlock - 1) / kRunningBlock; }

std::shared_ptr<const CrtBasis> basis_of(const at::Tensor& host_primes) {
  return crt_basis(host_primes.data_ptr<int64_t>(), static_cast<size_t>(host_primes.numel()));
}

// ---- CPU ---------------------------------------------------------------------

// Sums over one shared denominator per row: the block totals and the starts
// come from the numerator sums alone, and the stored values from a closed form.
bool running_sums_shared(const int64_t* num, const int64_t* den, int64_t rows, int64_t n, const at::Tensor& primes,
                         const BitBounds& bits, int64_t* out_num, int64_t* out_den) {
  const int64_t blocks = block_count(n);
  const int64_t* p = primes.data_ptr<int64_t>();
  std::vector<int64_t> sums(rows * blocks);
  if (!shared_denominator_sums(num, den, rows, n, p, sums.data())) return false;
  std::vector<int64_t> shared(rows);
  for (int64_t r = 0; r < rows; ++r) shared[r] = den[r * n];
  std::vector<int64_t> start_num(rows * blocks), start_den(rows * blocks);
  const BlockTotals totals{rows, blocks, nullptr, nullptr, sums.data(), shared.data(), bits};
  block_starts(Running::Sum, totals, *basis_of(primes), start_num.data(), start_den.data());
  shared_denominator_running_sums(num, den, rows, n, p, start_num.data(), start_den.data(), out_num, out_den);
  return true;
}

void running_cpu(Running kind, const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                 const BitBounds& bits, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t rows = num.size(0), n = num.size(1), blocks = block_count(n);
  const at::Tensor cn = num.contiguous(), cd = den.contiguous(), cp = primes.contiguous();
  const int64_t *pn = cn.data_ptr<int64_t>(), *pd = cd.data_ptr<int64_t>(), *pp = cp.data_ptr<int64_t>();
  out_num = at::empty({rows, n}, num.options());
  out_den = at::empty({rows, n}, num.options());
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  if (kind == Running::Sum && running_sums_shared(pn, pd, rows, n, cp, bits, on, od)) return;

  block_scan_cpu(kind, pn, pd, rows, n, pp, on, od);
  std::vector<int64_t> total_num(rows * blocks), total_den(rows * blocks);
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t b = 0; b < blocks; ++b) {
      const int64_t last = std::min(n, (b + 1) * kRunningBlock) - 1;
      total_num[r * blocks + b] = on[r * n + last];
      total_den[r * blocks + b] = od[r * n + last];
    }
  }
  std::vector<int64_t> start_num(rows * blocks), start_den(rows * blocks);
  const BlockTotals totals{rows, blocks, total_num.data(), total_den.data(), nullptr, nullptr, bits};
  block_starts(kind, totals, *basis_of(cp), start_num.data(), start_den.data());
  apply_starts_cpu(kind, rows, n, pp, start_num.data(), start_den.data(), on, od);
}

// ---- any device ------------------------------------------------------------------

// Padded to whole blocks with the empty value, scanned within each block by
// doubling steps (each element combined with the one s places before it,
// s = 1, 2, 4, 8, 16), the starts computed on the host from the block totals
// (one copy each way), and combined with every element in one operation.
void running_generic(Running kind, const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                     const BitBounds& bits, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t rows = num.size(0), n = num.size(1), blocks = block_count(n);
  const BinaryOp op = kind == Running::Sum ? BinaryOp::Add : BinaryOp::Mul;
  const int64_t pad = blocks * kRunningBlock - n;
  const at::Tensor pad_num = at::full({rows, pad}, kind == Running::Sum ? 0 : 1, num.options());
  RationalTensor scan{at::cat({num, pad_num}, 1).view({rows, blocks, kRunningBlock}),
                      at::cat({den, at::ones({rows, pad}, den.options())}, 1).view({rows, blocks, kRunningBlock}),
                      primes, c10::nullopt};
  for (int64_t s = 1; s < kRunningBlock; s *= 2) {
    const RationalTensor earlier{scan.num.narrow(2, 0, kRunningBlock - s), scan.denom.narrow(2, 0, kRunningBlock - s),
                                 primes, c10::nullopt};
    const RationalTensor later{scan.num.narrow(2, s, kRunningBlock - s), scan.denom.narrow(2, s, kRunningBlock - s),
                               primes, c10::nullopt};
    const RationalTensor combined = binary(op, earlier, later);
    scan.num = at::cat({scan.num.narrow(2, 0, s), combined.num}, 2);
    scan.denom = at::cat({scan.denom.narrow(2, 0, s), combined.denom}, 2);
  }
  const at::Tensor totals = host_int64(at::stack({scan.num.select(2, kRunningBlock - 1),
                                                  scan.denom.select(2, kRunningBlock - 1)})).contiguous();
  const at::Tensor host_primes = host_int64(primes).contiguous();
  const int64_t* t = totals.data_ptr<int64_t>();
  at::Tensor starts = at::empty({2, rows, blocks}, totals.options());
  int64_t* s = starts.data_ptr<int64_t>();
  const BlockTotals block_totals{rows, blocks, t, t + rows * blocks, nullptr, nullptr, bits};
  block_starts(kind, block_totals, *basis_of(host_primes), s, s + rows * blocks);
  starts = starts.to(num.device());
  const RationalTensor start{starts[0].unsqueeze(2), starts[1].unsqueeze(2), primes, c10::nullopt};
  const RationalTensor out = binary(op, start, scan);
  out_num = out.num.reshape({rows, -1}).narrow(1, 0, n).contiguous();
  out_den = out.denom.reshape({rows, -1}).narrow(1, 0, n).contiguous();
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
  } else if (host_residues(x.num, x.denom, x.primes)) {
    running_cpu(kind, x.num, x.denom, x.primes, x.bits, out_num, out_den);
  } else {
    running_generic(kind, x.num, x.denom, x.primes.to(x.num.device()), x.bits, out_num, out_den);
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
