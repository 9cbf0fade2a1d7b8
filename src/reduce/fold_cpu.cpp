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

// One row of k contiguous fractions, folded in halves: the second half is
// added onto the first (an odd middle element waits for the next round), so
// every round is a contiguous, vectorised loop.
KALVEX_CLONES void fold_row(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t k, int64_t p,
                            double* __restrict__ bn, double* __restrict__ bd, int64_t* out_num, int64_t* out_den) {
  const Modulus m(p);
  for (int64_t i = 0; i < k; ++i) {
    bn[i] = as_double(num[i]);
    bd[i] = as_double(den[i]);
  }
  for (int64_t length = k; length > 1;) {
    const int64_t half = length / 2;
    const int64_t offset = length - half;
    for (int64_t i = 0; i < half; ++i) add_into(bn[i], bd[i], bn[offset + i], bd[offset + i], m);
    length = offset;
  }
  *out_num = as_residue(bn[0]);
  *out_den = as_residue(bd[0]);
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
  std::vector<int64_t> out_sizes(sizes.begin(), sizes.end());
  out_sizes.erase(out_sizes.begin() + axis);
  out_num = at::empty(out_sizes, num.options());
  out_den = at::empty(out_sizes, num.options());
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>(), *pp = primes.data_ptr<int64_t>();
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  const int64_t blocks = rows * outer;
  const int64_t grain = std::max<int64_t>(1, 32768 / std::max<int64_t>(1, k * inner));
  at::parallel_for(0, blocks, grain, [&](int64_t begin, int64_t end) {
    std::vector<double> scratch_num(inner == 1 ? k : inner), scratch_den(inner == 1 ? k : inner);
    for (int64_t b = begin; b < end; ++b) {
      const int64_t p = pp[b / outer];
      const int64_t* bn = pn + b * k * inner;
      const int64_t* bd = pd + b * k * inner;
      if (inner == 1) {
        fold_row(bn, bd, k, p, scratch_num.data(), scratch_den.data(), on + b, od + b);
      } else {
        fold_slices(bn, bd, k, inner, p, scratch_num.data(), scratch_den.data(), on + b * inner, od + b * inner);
      }
    }
  });
}

}  // namespace kalvex
