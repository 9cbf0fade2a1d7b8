#include "core/kernels/reduce.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <type_traits>
#include <vector>

#include "core/kernels/constant_rows.h"
#include "core/kernels/residue_ops.h"
#include "core/paths.h"
#include "core/rational_tensor.h"
#include "core/simd.h"

namespace kalvex::kernels {

namespace {

// ---- CPU: folds in vector lanes ----------------------------------------------

// Accumulates k slices of `inner` contiguous fractions, slice after slice:
// vectorised across the slice.
template <typename Op>
C10_ALWAYS_INLINE void fold_slices(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t k,
                                   int64_t inner, int64_t p, double* __restrict__ acc_num,
                                   double* __restrict__ acc_den, int64_t* __restrict__ out_num,
                                   int64_t* __restrict__ out_den) {
  const Modulus m(p);
  for (int64_t j = 0; j < inner; ++j) {
    acc_num[j] = as_double(num[j]);
    acc_den[j] = as_double(den[j]);
  }
  for (int64_t t = 1; t < k; ++t) {
    const int64_t* sn = num + t * inner;
    const int64_t* sd = den + t * inner;
    for (int64_t j = 0; j < inner; ++j) Op::fold(acc_num[j], acc_den[j], as_double(sn[j]), as_double(sd[j]), m);
  }
  for (int64_t j = 0; j < inner; ++j) {
    out_num[j] = as_residue(acc_num[j]);
    out_den[j] = as_residue(acc_den[j]);
  }
}

// Rows of k contiguous fractions, all modulo one prime.  Blocks of kWidth
// elements are folded lane by lane into kWidth partial results (independent
// chains, one vector instruction per step), which are then folded in halves;
// rows shorter than that are folded eight side by side.  Several rows are in
// flight at once so that their chains overlap.
constexpr int kWidth = 64;
constexpr int kRows = 4;

template <typename Op>
C10_ALWAYS_INLINE void fold_rows(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t rows,
                                 int64_t k, int64_t p, int64_t* __restrict__ out_num, int64_t* __restrict__ out_den) {
  const Modulus m(p);
  if (k < 2 * kWidth) {
    constexpr int kSide = 8, kChains = 2;
    int64_t r = 0;
    for (; r + kSide <= rows; r += kSide) {
      const int64_t* rn = num + r * k;
      const int64_t* rd = den + r * k;
      double an[kChains][kSide], ad[kChains][kSide];
      for (int c = 0; c < kChains; ++c)
        for (int l = 0; l < kSide; ++l) an[c][l] = Op::kEmpty, ad[c][l] = 1.0;
      int64_t t = 0;
      for (; t + kChains <= k; t += kChains)
        for (int c = 0; c < kChains; ++c)
          for (int l = 0; l < kSide; ++l)
            Op::fold(an[c][l], ad[c][l], as_double(rn[l * k + t + c]), as_double(rd[l * k + t + c]), m);
      for (; t < k; ++t)
        for (int l = 0; l < kSide; ++l) Op::fold(an[0][l], ad[0][l], as_double(rn[l * k + t]), as_double(rd[l * k + t]), m);
      for (int l = 0; l < kSide; ++l) {
        for (int c = 1; c < kChains; ++c) Op::fold(an[0][l], ad[0][l], an[c][l], ad[c][l], m);
        out_num[r + l] = as_residue(an[0][l]);
        out_den[r + l] = as_residue(ad[0][l]);
      }
    }
    for (; r < rows; ++r) {
      const int64_t* rn = num + r * k;
      const int64_t* rd = den + r * k;
      double an = as_double(rn[0]), ad = as_double(rd[0]);
      for (int64_t t = 1; t < k; ++t) Op::fold(an, ad, as_double(rn[t]), as_double(rd[t]), m);
      out_num[r] = as_residue(an);
      out_den[r] = as_residue(ad);
    }
    return;
  }
  for (int64_t r0 = 0; r0 < rows; r0 += kRows) {
    const int count = static_cast<int>(std::min<int64_t>(kRows, rows - r0));
    alignas(64) double an[kRows][kWidth], ad[kRows][kWidth];
    for (int r = 0; r < kRows; ++r)
      for (int j = 0; j < kWidth; ++j) an[r][j] = Op::kEmpty, ad[r][j] = 1.0;
    for (int r = 0; r < count; ++r) {
      const int64_t* rn = num + (r0 + r) * k;
      const int64_t* rd = den + (r0 + r) * k;
      int64_t t = 0;
      for (; t + kWidth <= k; t += kWidth)
        for (int j = 0; j < kWidth; ++j) Op::fold(an[r][j], ad[r][j], as_double(rn[t + j]), as_double(rd[t + j]), m);
      for (int j = 0; t + j < k; ++j) Op::fold(an[r][j], ad[r][j], as_double(rn[t + j]), as_double(rd[t + j]), m);
    }
    for (int half = kWidth / 2; half >= 1; half /= 2)
      for (int r = 0; r < kRows; ++r)
        for (int j = 0; j < half; ++j) Op::fold(an[r][j], ad[r][j], an[r][half + j], ad[r][half + j], m);
    for (int r = 0; r < count; ++r) {
      out_num[r0 + r] = as_residue(an[r][0]);
      out_den[r0 + r] = as_residue(ad[r][0]);
    }
  }
}

// The loops compiled for each x86-64 level, per fold step.
template <typename Op>
struct FoldLoops;
#define KALVEX_FOLD_LOOPS(Op)                                                                                       \
  KALVEX_CLONES void fold_rows_##Op(const int64_t* num, const int64_t* den, int64_t rows, int64_t k, int64_t p,     \
                                    int64_t* out_num, int64_t* out_den) {                                           \
    fold_rows<Op>(num, den, rows, k, p, out_num, out_den);                                                          \
  }                                                                                                                 \
  KALVEX_CLONES void fold_slices_##Op(const int64_t* num, const int64_t* den, int64_t k, int64_t inner, int64_t p, \
                                      double* acc_num, double* acc_den, int64_t* out_num, int64_t* out_den) {       \
    fold_slices<Op>(num, den, k, inner, p, acc_num, acc_den, out_num, out_den);                                     \
  }                                                                                                                 \
  template <>                                                                                                       \
  struct FoldLoops<Op> {                                                                                            \
    static constexpr auto rows = fold_rows_##Op;                                                                    \
    static constexpr auto slices = fold_slices_##Op;                                                                \
  };
KALVEX_REDUCTIONS(KALVEX_FOLD_LOOPS)
#undef KALVEX_FOLD_LOOPS

// num, den contiguous with equal shapes, primes contiguous.
template <typename Op>
void reduce_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
                at::Tensor& out_num, at::Tensor& out_den) {
  const auto sizes = num.sizes();
  int64_t outer = 1, inner = 1;
  for (int64_t i = 1; i < axis; ++i) outer *= sizes[i];
  for (int64_t i = axis + 1; i < num.dim(); ++i) inner *= sizes[i];
  const int64_t k = sizes[axis];
  if (k == 1) {  // nothing to fold
    out_num = num.squeeze(axis).clone();
    out_den = den.squeeze(axis).clone();
    return;
  }
  std::vector<int64_t> out_sizes(sizes.begin(), sizes.end());
  out_sizes.erase(out_sizes.begin() + axis);
  out_num = at::empty(out_sizes, num.options());
  out_den = at::empty(out_sizes, num.options());
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>(), *pp = primes.data_ptr<int64_t>();
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  const int64_t blocks = sizes[0] * outer;
  const int64_t grain = std::max<int64_t>(1, 32768 / std::max<int64_t>(1, k * inner));
  if (inner == 1) {
    // Rows of k, in runs that share one prime.
    at::parallel_for(0, blocks, std::max<int64_t>(grain, kRows), [&](int64_t begin, int64_t end) {
      while (begin < end) {
        const int64_t prime_index = begin / outer;
        const int64_t run_end = std::min(end, (prime_index + 1) * outer);
        FoldLoops<Op>::rows(pn + begin * k, pd + begin * k, run_end - begin, k, pp[prime_index], on + begin,
                            od + begin);
        begin = run_end;
      }
    });
    return;
  }
  at::parallel_for(0, blocks, grain, [&](int64_t begin, int64_t end) {
    std::vector<double> scratch_num(inner), scratch_den(inner);
    for (int64_t b = begin; b < end; ++b)
      FoldLoops<Op>::slices(pn + b * k * inner, pd + b * k * inner, k, inner, pp[b / outer], scratch_num.data(),
                            scratch_den.data(), on + b * inner, od + b * inner);
  });
}

// ---- any device: halving passes ------------------------------------------------

// Column 2i folded with column 2i+1 along the last axis, an odd last column
// carried to the end, each pass one launch over all pairs.
template <typename Op>
void reduce_by_halving(at::Tensor num, at::Tensor den, const at::Tensor& primes, at::Tensor& out_num,
                       at::Tensor& out_den) {
  const at::Tensor column = prime_column(primes, num.dim());
  while (num.size(-1) > 1) {
    const int64_t k = num.size(-1), even_k = k - k % 2;
    auto pairs = run(Op{}, {num.slice(-1, 0, even_k, 2), den.slice(-1, 0, even_k, 2), num.slice(-1, 1, even_k, 2),
                            den.slice(-1, 1, even_k, 2)},
                     column);
    if (k % 2 == 1) {
      pairs[0] = at::cat({pairs[0], num.slice(-1, k - 1, k)}, -1);
      pairs[1] = at::cat({pairs[1], den.slice(-1, k - 1, k)}, -1);
    }
    num = pairs[0];
    den = pairs[1];
  }
  out_num = num.squeeze(-1);
  out_den = den.squeeze(-1);
}

// ---- sums over one denominator per prime (constant rows) -------------------------

// k fractions over d add up to d^(k-1) (n_1 + ... + n_k) / d^k, whatever the
// order (NOTE: [Unreduced sums]): the numerators are summed as plain integers
// (below k * 2^31) and the denominator stays one value per prime.
void sum_over_common_denominator(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                                 int64_t axis, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t k = num.size(axis);
  std::vector<int64_t> out_sizes(num.sizes().begin(), num.sizes().end());
  out_sizes.erase(out_sizes.begin() + axis);
  const at::Tensor column = prime_column(primes, static_cast<int64_t>(out_sizes.size()));
  auto powers = run(CommonDenominatorPowersOp{static_cast<uint64_t>(k)}, {first_elements(den).squeeze(axis)}, column);
  const at::Tensor sums = has_constant_rows(num) ? first_elements(num).squeeze(axis).mul(k) : num.sum(axis);
  out_num = run(ScaledSumOp{}, {sums, powers[0]}, column)[0].expand(out_sizes);
  out_den = powers[1].expand(out_sizes);
}

bool common_denominator_applies(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes) {
  return has_constant_rows(den) && num.sizes().equals(den.sizes()) && num.scalar_type() == at::kLong &&
         den.scalar_type() == at::kLong && primes.dim() == 1 && primes.numel() == num.size(0);
}

}  // namespace

template <typename Op>
void reduce(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
            at::Tensor& out_num, at::Tensor& out_den) {
  if (std::is_same_v<Op, AddOp> && common_denominator_applies(num, den, primes)) {
    sum_over_common_denominator(num, den, primes, axis, out_num, out_den);
  } else if (host_residues(num, den, primes)) {
    reduce_cpu<Op>(num.contiguous(), den.contiguous(), primes.contiguous(), axis, out_num, out_den);
  } else {
    reduce_by_halving<Op>(num.movedim(axis, -1), den.movedim(axis, -1), primes, out_num, out_den);
  }
}

#define KALVEX_INSTANTIATE(Op)                                                                              \
  template void reduce<Op>(const at::Tensor&, const at::Tensor&, const at::Tensor&, int64_t, at::Tensor&, \
                           at::Tensor&);
KALVEX_REDUCTIONS(KALVEX_INSTANTIATE)
#undef KALVEX_INSTANTIATE

}  // namespace kalvex::kernels
