#include "core/kernels/scan.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/kernels/constant_rows.h"
#include "core/kernels/reduce.h"
#include "core/kernels/residue_ops.h"
#include "core/paths.h"
#include "core/rational_tensor.h"
#include "core/simd.h"

namespace kalvex::kernels {

namespace {

// ---- CPU ---------------------------------------------------------------------

constexpr int kLanes = 8;  // blocks scanned side by side: independent chains fill the pipeline

// Full blocks [first, first + kLanes) of one row, each a chain of 32 steps.
template <typename Op>
C10_ALWAYS_INLINE void scan_lanes(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t first,
                                  const Modulus m, int64_t* __restrict__ out_num, int64_t* __restrict__ out_den) {
  double an[kLanes], ad[kLanes];
  for (int j = 0; j < kLanes; ++j) {
    const int64_t i = (first + j) * kRunningBlock;
    an[j] = as_double(num[i]);
    ad[j] = as_double(den[i]);
    out_num[i] = num[i];
    out_den[i] = den[i];
  }
  for (int64_t k = 1; k < kRunningBlock; ++k) {
    for (int j = 0; j < kLanes; ++j) {
      const int64_t i = (first + j) * kRunningBlock + k;
      Op::fold(an[j], ad[j], as_double(num[i]), as_double(den[i]), m);
      out_num[i] = as_residue(an[j]);
      out_den[i] = as_residue(ad[j]);
    }
  }
}

// start (+) every element of one block, in place.
template <typename Op>
C10_ALWAYS_INLINE void fold_start(int64_t length, const Modulus m, double start_num, double start_den,
                                  int64_t* __restrict__ num, int64_t* __restrict__ den) {
  for (int64_t i = 0; i < length; ++i) {
    double n = start_num, d = start_den;
    Op::fold(n, d, as_double(num[i]), as_double(den[i]), m);
    num[i] = as_residue(n);
    den[i] = as_residue(d);
  }
}

// The loops compiled for each x86-64 level, per fold step.
template <typename Op>
struct ScanLoops;
#define KALVEX_SCAN_LOOPS(Op)                                                                                    \
  KALVEX_CLONES void scan_lanes_##Op(const int64_t* num, const int64_t* den, int64_t first, const Modulus m,     \
                                     int64_t* out_num, int64_t* out_den) {                                       \
    scan_lanes<Op>(num, den, first, m, out_num, out_den);                                                        \
  }                                                                                                              \
  KALVEX_CLONES void fold_start_##Op(int64_t length, const Modulus m, double start_num, double start_den,       \
                                     int64_t* num, int64_t* den) {                                               \
    fold_start<Op>(length, m, start_num, start_den, num, den);                                                   \
  }                                                                                                              \
  template <>                                                                                                    \
  struct ScanLoops<Op> {                                                                                         \
    static constexpr auto lanes = scan_lanes_##Op;                                                               \
    static constexpr auto start = fold_start_##Op;                                                               \
  };
KALVEX_REDUCTIONS(KALVEX_SCAN_LOOPS)
#undef KALVEX_SCAN_LOOPS

// One row: kLanes full blocks at a time, then the rest one block at a time.
template <typename Op>
void scan_row(const int64_t* num, const int64_t* den, int64_t n, int64_t p, int64_t* out_num, int64_t* out_den) {
  const Modulus m(p);
  const int64_t full = n / kRunningBlock;
  int64_t b = 0;
  for (; b + kLanes <= full; b += kLanes) ScanLoops<Op>::lanes(num, den, b, m, out_num, out_den);
  for (; b * kRunningBlock < n; ++b) {
    const int64_t begin = b * kRunningBlock, end = std::min(n, begin + kRunningBlock);
    double an = as_double(num[begin]), ad = as_double(den[begin]);
    out_num[begin] = num[begin];
    out_den[begin] = den[begin];
    for (int64_t i = begin + 1; i < end; ++i) {
      Op::fold(an, ad, as_double(num[i]), as_double(den[i]), m);
      out_num[i] = as_residue(an);
      out_den[i] = as_residue(ad);
    }
  }
}

// Work split: one task per row and stretch of blocks.
template <typename F>
void for_each_row_blocks(int64_t rows, int64_t blocks, F&& f) {
  at::parallel_for(0, rows * blocks, 256, [&](int64_t begin, int64_t end) {
    while (begin < end) {
      const int64_t r = begin / blocks, b = begin % blocks;
      const int64_t stop = std::min(end - r * blocks, blocks);
      f(r, b, stop);
      begin = r * blocks + stop;
    }
  });
}

// Per row: the numerator sum of each block modulo p.
KALVEX_CLONES void block_sums_row(const int64_t* __restrict__ num, int64_t n, int64_t p, int64_t* __restrict__ sums) {
  for (int64_t begin = 0, b = 0; begin < n; begin += kRunningBlock, ++b) {
    const int64_t end = std::min(n, begin + kRunningBlock);
    // At most 32 residues below 2^31; unsigned, so residues out of range
    // (a malformed record) give a wrong sum rather than undefined behaviour.
    uint64_t s = 0;
    for (int64_t i = begin; i < end; ++i) s += static_cast<uint64_t>(num[i]);
    sums[b] = static_cast<int64_t>(s % static_cast<uint64_t>(p));
  }
}

// Whether every denominator of a row equals the row's first: by layout for
// constant rows, else read up to the first that differs.
bool rows_share_denominator(const at::Tensor& den_in) {
  if (has_constant_rows(den_in)) return true;
  const at::Tensor den = den_in.contiguous();
  const int64_t rows = den.size(0), n = den.size(1);
  const int64_t* pd = den.data_ptr<int64_t>();
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t* row = pd + r * n;
    if (std::find_if(row, row + n, [&](int64_t d) { return d != row[0]; }) != row + n) return false;
  }
  return true;
}

// One block of running sums over a shared denominator d (dpow[k] = d^k):
// with c = start_num * d, the value after k + 1 elements is
// (d^k (c + start_den S_k), start_den d^(k+1)).
KALVEX_CLONES void shared_block(const int64_t* __restrict__ num, int64_t length, const Modulus m,
                                const double* __restrict__ dpow, double an, double ad, int64_t* __restrict__ out_num,
                                int64_t* __restrict__ out_den) {
  // Plain prefix sums (at most 32 residues below 2^31: below 2^36, exact as
  // doubles), reduced in the vectorised loop: no branch per element.
  double prefix[kRunningBlock];
  double s = 0.0;
  for (int64_t k = 0; k < length; ++k) {
    s += as_double(num[k]);
    prefix[k] = s;
  }
  const double c = mul_mod_d(an, dpow[1], m);
  for (int64_t k = 0; k < length; ++k) {
    double r = std::fma(-std::rint(prefix[k] * m.inv), m.p, prefix[k]);
    r += (r < 0.0) ? m.p : 0.0;
    const double t = add_mod_d(c, mul_mod_d(ad, r, m), m);
    out_num[k] = as_residue(mul_mod_d(dpow[k], t, m));
    out_den[k] = as_residue(mul_mod_d(ad, dpow[k + 1], m));
  }
}

// ---- any device ----------------------------------------------------------------

// t [P, n] padded with `fill` to whole blocks, as [P, blocks, kRunningBlock].
at::Tensor in_blocks(const at::Tensor& t, int64_t fill) {
  const int64_t rows = t.size(0), blocks = block_count(t.size(1));
  const at::Tensor pad = at::full({rows, blocks * kRunningBlock - t.size(1)}, fill, t.options());
  return at::cat({t, pad}, 1).view({rows, blocks, kRunningBlock});
}

// The blocks as [P, n] again.
at::Tensor from_blocks(const at::Tensor& t, int64_t n) { return t.reshape({t.size(0), -1}).narrow(1, 0, n).contiguous(); }

}  // namespace

template <typename Op>
void scan_blocks(const at::Tensor& num_in, const at::Tensor& den_in, const at::Tensor& primes, at::Tensor& out_num,
                 at::Tensor& out_den) {
  const int64_t rows = num_in.size(0), n = num_in.size(1);
  if (host_residues(num_in, den_in, primes)) {
    const at::Tensor num = num_in.contiguous(), den = den_in.contiguous(), cp = primes.contiguous();
    const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>(), *pp = cp.data_ptr<int64_t>();
    out_num = at::empty({rows, n}, num.options());
    out_den = at::empty({rows, n}, num.options());
    int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
    at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
      for (int64_t r = begin; r < end; ++r) scan_row<Op>(pn + r * n, pd + r * n, n, pp[r], on + r * n, od + r * n);
    });
    return;
  }
  // Doubling steps within each block: every element folded with the one s
  // places before it, s = 1, 2, 4, 8, 16; the padding is the empty value.
  at::Tensor sn = in_blocks(num_in, static_cast<int64_t>(Op::kEmpty)), sd = in_blocks(den_in, 1);
  const at::Tensor column = prime_column(primes, 3);
  for (int64_t s = 1; s < kRunningBlock; s *= 2) {
    const int64_t length = kRunningBlock - s;
    auto folded = run(Op{}, {sn.narrow(2, 0, length), sd.narrow(2, 0, length), sn.narrow(2, s, length),
                             sd.narrow(2, s, length)},
                      column);
    sn = at::cat({sn.narrow(2, 0, s), folded[0]}, 2);
    sd = at::cat({sd.narrow(2, 0, s), folded[1]}, 2);
  }
  out_num = from_blocks(sn, n);
  out_den = from_blocks(sd, n);
}

at::Tensor block_totals(const at::Tensor& num, const at::Tensor& den) {
  // The ends of the full blocks as a strided view, and the last element
  // when the last block is partial (index_select copies element by element).
  const int64_t n = num.size(1);
  auto ends = [&](const at::Tensor& t) {
    const at::Tensor full = t.slice(1, kRunningBlock - 1, n, kRunningBlock);
    return n % kRunningBlock == 0 ? full : at::cat({full, t.narrow(1, n - 1, 1)}, 1);
  };
  return at::stack({ends(num), ends(den)});
}

template <typename Op>
void fold_starts(const at::Tensor& start_num, const at::Tensor& start_den, const at::Tensor& primes,
                 at::Tensor& num, at::Tensor& den) {
  const int64_t rows = num.size(0), n = num.size(1), blocks = block_count(n);
  if (host_residues(num, den, primes) && num.is_contiguous() && den.is_contiguous() && start_num.is_cpu()) {
    const at::Tensor sn = start_num.contiguous(), sd = start_den.contiguous(), cp = primes.contiguous();
    const int64_t *psn = sn.data_ptr<int64_t>(), *psd = sd.data_ptr<int64_t>(), *pp = cp.data_ptr<int64_t>();
    int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>();
    for_each_row_blocks(rows, blocks, [&](int64_t r, int64_t b_begin, int64_t b_end) {
      const Modulus m(pp[r]);
      for (int64_t b = std::max<int64_t>(b_begin, 1); b < b_end; ++b) {  // block 0 starts from the empty value
        const int64_t begin = b * kRunningBlock, o = r * n + begin;
        ScanLoops<Op>::start(std::min(kRunningBlock, n - begin), m, as_double(psn[r * blocks + b]),
                             as_double(psd[r * blocks + b]), pn + o, pd + o);
      }
    });
    return;
  }
  const at::Device device = num.device();
  auto folded = run(Op{}, {start_num.to(device).unsqueeze(2), start_den.to(device).unsqueeze(2),
                           in_blocks(num, static_cast<int64_t>(Op::kEmpty)), in_blocks(den, 1)},
                    prime_column(primes, 3));
  num = from_blocks(folded[0], n);
  den = from_blocks(folded[1], n);
}

c10::optional<at::Tensor> shared_denominator_block_sums(const at::Tensor& num_in, const at::Tensor& den,
                                                        const at::Tensor& primes) {
  if (!host_residues(num_in, den, primes)) return c10::nullopt;
  if (!rows_share_denominator(den)) return c10::nullopt;
  const int64_t rows = num_in.size(0), n = num_in.size(1), blocks = block_count(n);
  const at::Tensor num = num_in.contiguous(), cp = primes.contiguous();
  const int64_t *pn = num.data_ptr<int64_t>(), *pp = cp.data_ptr<int64_t>();
  at::Tensor sums = at::empty({rows, blocks}, num.options());
  int64_t* ps = sums.data_ptr<int64_t>();
  at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r) block_sums_row(pn + r * n, n, pp[r], ps + r * blocks);
  });
  return sums;
}

void shared_denominator_running_sums(const at::Tensor& num_in, const at::Tensor& shared_den, const at::Tensor& primes,
                                     const at::Tensor& start_num, const at::Tensor& start_den, at::Tensor& out_num,
                                     at::Tensor& out_den) {
  const int64_t rows = num_in.size(0), n = num_in.size(1), blocks = block_count(n);
  const at::Tensor num = num_in.contiguous(), cp = primes.contiguous();
  const int64_t *pn = num.data_ptr<int64_t>(), *pp = cp.data_ptr<int64_t>();
  const int64_t *psn = start_num.data_ptr<int64_t>(), *psd = start_den.data_ptr<int64_t>();
  const at::Tensor shared_column = shared_den.contiguous();
  const int64_t* shared = shared_column.data_ptr<int64_t>();
  out_num = at::empty({rows, n}, num.options());
  out_den = at::empty({rows, n}, num.options());
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  for_each_row_blocks(rows, blocks, [&](int64_t r, int64_t b_begin, int64_t b_end) {
    const Modulus m(pp[r]);
    double dpow[kRunningBlock + 1];
    dpow[0] = 1.0;
    for (int64_t k = 1; k <= kRunningBlock; ++k) dpow[k] = mul_mod_d(dpow[k - 1], as_double(shared[r]), m);
    for (int64_t b = b_begin; b < b_end; ++b) {
      const int64_t begin = b * kRunningBlock, o = r * n + begin;
      shared_block(pn + o, std::min(kRunningBlock, n - begin), m, dpow, as_double(psn[r * blocks + b]),
                   as_double(psd[r * blocks + b]), on + o, od + o);
    }
  });
}

#define KALVEX_INSTANTIATE(Op)                                                                                   \
  template void scan_blocks<Op>(const at::Tensor&, const at::Tensor&, const at::Tensor&, at::Tensor&,           \
                                at::Tensor&);                                                                    \
  template void fold_starts<Op>(const at::Tensor&, const at::Tensor&, const at::Tensor&, at::Tensor&, at::Tensor&);
KALVEX_REDUCTIONS(KALVEX_INSTANTIATE)
#undef KALVEX_INSTANTIATE

}  // namespace kalvex::kernels
