#include "reduce/fold_cpu.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <vector>

#include "core/kernels/residue_ops.h"
#include "core/simd.h"

namespace kalvex {

namespace {

// (n, d) += (a, b), all residues held as doubles.
inline __attribute__((always_inline)) void add_into(double& n, double& d, double a, double b, const Modulus& m) {
  const double num = add_mod_d(mul_mod_d(n, b, m), mul_mod_d(d, a, m), m);
  d = mul_mod_d(d, b, m);
  n = num;
}

// Accumulates k slices of `inner` contiguous fractions, slice after slice:
// vectorised across the slice.
KALVEX_CLONES void fold_slices(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t k,
                               int64_t inner, int64_t p, double* __restrict__ acc_num, double* __restrict__ acc_den,
                               int64_t* __restrict__ out_num, int64_t* __restrict__ out_den) {
  const Modulus m(p);
  for (int64_t j = 0; j < inner; ++j) {
    acc_num[j] = as_double(num[j]);
    acc_den[j] = as_double(den[j]);
  }
  for (int64_t t = 1; t < k; ++t) {
    const int64_t* sn = num + t * inner;
    const int64_t* sd = den + t * inner;
    for (int64_t j = 0; j < inner; ++j) add_into(acc_num[j], acc_den[j], as_double(sn[j]), as_double(sd[j]), m);
  }
  for (int64_t j = 0; j < inner; ++j) {
    out_num[j] = as_residue(acc_num[j]);
    out_den[j] = as_residue(acc_den[j]);
  }
}

// Rows of k contiguous fractions, all modulo one prime.  Blocks of kWidth
// elements are added lane by lane into kWidth partial sums (independent
// chains, one vector instruction per step), which are then folded in halves;
// rows shorter than that are added in sequence.  Several rows are in flight
// at once so that their chains overlap.  The order of the additions does not
// change the residues.
constexpr int kWidth = 64;
constexpr int kRows = 4;

KALVEX_CLONES void fold_rows(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t rows,
                             int64_t k, int64_t p, int64_t* __restrict__ out_num, int64_t* __restrict__ out_den) {
  const Modulus m(p);
  if (k < 2 * kWidth) {
    // Short rows: eight rows side by side, one lane each, summed along t in
    // two interleaved chains.
    constexpr int kSide = 8;
    int64_t r = 0;
    for (; r + kSide <= rows; r += kSide) {
      const int64_t* rn = num + r * k;
      const int64_t* rd = den + r * k;
      constexpr int kChains = 2;
      double an[kChains][kSide], ad[kChains][kSide];
      for (int c = 0; c < kChains; ++c)
        for (int l = 0; l < kSide; ++l) an[c][l] = 0.0, ad[c][l] = 1.0;
      int64_t t = 0;
      for (; t + kChains <= k; t += kChains)
        for (int c = 0; c < kChains; ++c)
          for (int l = 0; l < kSide; ++l)
            add_into(an[c][l], ad[c][l], as_double(rn[l * k + t + c]), as_double(rd[l * k + t + c]), m);
      for (; t < k; ++t)
        for (int l = 0; l < kSide; ++l) add_into(an[0][l], ad[0][l], as_double(rn[l * k + t]), as_double(rd[l * k + t]), m);
      for (int l = 0; l < kSide; ++l) {
        for (int c = 1; c < kChains; ++c) add_into(an[0][l], ad[0][l], an[c][l], ad[c][l], m);
        out_num[r + l] = as_residue(an[0][l]);
        out_den[r + l] = as_residue(ad[0][l]);
      }
    }
    for (; r < rows; ++r) {
      const int64_t* rn = num + r * k;
      const int64_t* rd = den + r * k;
      double an = as_double(rn[0]), ad = as_double(rd[0]);
      for (int64_t t = 1; t < k; ++t) add_into(an, ad, as_double(rn[t]), as_double(rd[t]), m);
      out_num[r] = as_residue(an);
      out_den[r] = as_residue(ad);
    }
    return;
  }
  for (int64_t r0 = 0; r0 < rows; r0 += kRows) {
    const int count = static_cast<int>(std::min<int64_t>(kRows, rows - r0));
    alignas(64) double an[kRows][kWidth], ad[kRows][kWidth];
    for (int r = 0; r < kRows; ++r)
      for (int j = 0; j < kWidth; ++j) an[r][j] = 0.0, ad[r][j] = 1.0;  // 0/1 adds nothing
    for (int r = 0; r < count; ++r) {
      const int64_t* rn = num + (r0 + r) * k;
      const int64_t* rd = den + (r0 + r) * k;
      int64_t t = 0;
      for (; t + kWidth <= k; t += kWidth)
        for (int j = 0; j < kWidth; ++j) add_into(an[r][j], ad[r][j], as_double(rn[t + j]), as_double(rd[t + j]), m);
      for (int j = 0; t + j < k; ++j) add_into(an[r][j], ad[r][j], as_double(rn[t + j]), as_double(rd[t + j]), m);
    }
    for (int half = kWidth / 2; half >= 1; half /= 2)
      for (int r = 0; r < kRows; ++r)
        for (int j = 0; j < half; ++j) add_into(an[r][j], ad[r][j], an[r][half + j], ad[r][half + j], m);
    for (int r = 0; r < count; ++r) {
      out_num[r0 + r] = as_residue(an[r][0]);
      out_den[r0 + r] = as_residue(ad[r][0]);
    }
  }
}

}  // namespace

void fold_axis_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t axis,
                   at::Tensor& out_num, at::Tensor& out_den) {
  const auto sizes = num.sizes();
  const int64_t rows = sizes[0];
  int64_t outer = 1, inner = 1;
  for (int64_t i = 1; i < axis; ++i) outer *= sizes[i];
  for (int64_t i = axis + 1; i < num.dim(); ++i) inner *= sizes[i];
  const int64_t k = sizes[axis];
  if (k == 1) {  // nothing to add
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
  const int64_t blocks = rows * outer;
  const int64_t grain = std::max<int64_t>(1, 32768 / std::max<int64_t>(1, k * inner));
  if (inner == 1) {
    // Rows of k, in runs that share one prime.
    at::parallel_for(0, blocks, std::max<int64_t>(grain, kRows), [&](int64_t begin, int64_t end) {
      while (begin < end) {
        const int64_t prime_index = begin / outer;
        const int64_t run_end = std::min(end, (prime_index + 1) * outer);
        fold_rows(pn + begin * k, pd + begin * k, run_end - begin, k, pp[prime_index], on + begin, od + begin);
        begin = run_end;
      }
    });
    return;
  }
  at::parallel_for(0, blocks, grain, [&](int64_t begin, int64_t end) {
    std::vector<double> scratch_num(inner), scratch_den(inner);
    for (int64_t b = begin; b < end; ++b) {
      const int64_t p = pp[b / outer];
      fold_slices(pn + b * k * inner, pd + b * k * inner, k, inner, p, scratch_num.data(), scratch_den.data(),
                  on + b * inner, od + b * inner);
    }
  });
}

}  // namespace kalvex
