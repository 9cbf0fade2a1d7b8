// The matrix product's sums of products (reduce.h): the CPU accumulates rows
// of b into rows of the result; other devices launch one product and one sum
// per inner index over the whole result.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <vector>

#include "core/kernels/constant_rows.h"
#include "core/kernels/reduce.h"
#include "core/kernels/residue_ops.h"
#include "core/paths.h"
#include "core/rational_tensor.h"
#include "core/simd.h"

namespace kalvex::kernels {

namespace {

// acc[j] (+)= a * b[j] over a row of fractions, or acc[j] = a * b[j] for the first.
template <bool kFirst>
C10_ALWAYS_INLINE void accumulate(double a_num, double a_den, const int64_t* __restrict__ b_num,
                                  const int64_t* __restrict__ b_den, int64_t n, int64_t p,
                                  double* __restrict__ acc_num, double* __restrict__ acc_den) {
  const Modulus m(p);
  for (int64_t j = 0; j < n; ++j) {
    double pn = a_num, pd = a_den;
    MulOp::fold(pn, pd, as_double(b_num[j]), as_double(b_den[j]), m);
    if (kFirst) {
      acc_num[j] = pn;
      acc_den[j] = pd;
    } else {
      AddOp::fold(acc_num[j], acc_den[j], pn, pd, m);
    }
  }
}

KALVEX_CLONES void first_row(double a_num, double a_den, const int64_t* b_num, const int64_t* b_den, int64_t n,
                             int64_t p, double* acc_num, double* acc_den) {
  accumulate<true>(a_num, a_den, b_num, b_den, n, p, acc_num, acc_den);
}

KALVEX_CLONES void accumulate_row(double a_num, double a_den, const int64_t* b_num, const int64_t* b_den, int64_t n,
                                  int64_t p, double* acc_num, double* acc_den) {
  accumulate<false>(a_num, a_den, b_num, b_den, n, p, acc_num, acc_den);
}

// One task per (prime, output row), accumulating over t along rows of b.
void products_cpu(const at::Tensor& a_num, const at::Tensor& a_den, const at::Tensor& b_num, const at::Tensor& b_den,
                  const at::Tensor& primes, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t rows = a_num.size(0), m = a_num.size(1), k = a_num.size(2), n = b_num.size(2);
  const int64_t *an = a_num.data_ptr<int64_t>(), *ad = a_den.data_ptr<int64_t>();
  const int64_t *bn = b_num.data_ptr<int64_t>(), *bd = b_den.data_ptr<int64_t>();
  const int64_t* pp = primes.data_ptr<int64_t>();
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  at::parallel_for(0, rows * m, 1, [&](int64_t begin, int64_t end) {
    std::vector<double> acc_num(n), acc_den(n);
    for (int64_t task = begin; task < end; ++task) {
      const int64_t r = task / m, i = task % m;
      const int64_t* a_row_num = an + (r * m + i) * k;
      const int64_t* a_row_den = ad + (r * m + i) * k;
      for (int64_t t = 0; t < k; ++t)
        (t == 0 ? first_row : accumulate_row)(as_double(a_row_num[t]), as_double(a_row_den[t]),
                                               bn + (r * k + t) * n, bd + (r * k + t) * n, n, pp[r],
                                               acc_num.data(), acc_den.data());
      int64_t* out_row_num = on + (r * m + i) * n;
      int64_t* out_row_den = od + (r * m + i) * n;
      for (int64_t j = 0; j < n; ++j) {
        out_row_num[j] = as_residue(acc_num[j]);
        out_row_den[j] = as_residue(acc_den[j]);
      }
    }
  });
}

// Numerators alone, for operands whose denominators are constant rows:
// out[r, i, j] = sum_t a[r, i, t] * b[r, t, j] mod p_r.
KALVEX_CLONES void accumulate_numerators(double a, const int64_t* __restrict__ b, int64_t n, int64_t p,
                                         double* __restrict__ acc) {
  const Modulus m(p);
  for (int64_t j = 0; j < n; ++j) acc[j] = add_mod_d(acc[j], mul_mod_d(a, as_double(b[j]), m), m);
}

void numerator_products_cpu(const at::Tensor& a_num, const at::Tensor& b_num, const at::Tensor& primes,
                            at::Tensor& out_num) {
  const int64_t rows = a_num.size(0), m = a_num.size(1), k = a_num.size(2), n = b_num.size(2);
  const int64_t *an = a_num.data_ptr<int64_t>(), *bn = b_num.data_ptr<int64_t>();
  const int64_t* pp = primes.data_ptr<int64_t>();
  int64_t* on = out_num.data_ptr<int64_t>();
  at::parallel_for(0, rows * m, 1, [&](int64_t begin, int64_t end) {
    std::vector<double> acc(n);
    for (int64_t task = begin; task < end; ++task) {
      const int64_t r = task / m, i = task % m;
      const int64_t* a_row = an + (r * m + i) * k;
      std::fill(acc.begin(), acc.end(), 0.0);
      for (int64_t t = 0; t < k; ++t)
        accumulate_numerators(as_double(a_row[t]), bn + (r * k + t) * n, n, pp[r], acc.data());
      int64_t* out_row = on + (r * m + i) * n;
      for (int64_t j = 0; j < n; ++j) out_row[j] = as_residue(acc[j]);
    }
  });
}

// Denominators of constant rows b, d: every product has the denominator
// e = b*d, so the sum over k of them is e^(k-1) (sum of the numerator
// products) / e^k (NOTE: [Unreduced sums]); the denominator of the result
// stays one value per prime.
void over_common_denominator(const at::Tensor& a_num, const at::Tensor& a_den, const at::Tensor& b_num,
                             const at::Tensor& b_den, const at::Tensor& primes, at::Tensor& out_num,
                             at::Tensor& out_den) {
  const int64_t rows = a_num.size(0), m = a_num.size(1), k = a_num.size(2), n = b_num.size(2);
  const at::Tensor column = prime_column(primes, 3);
  const at::Tensor e =
      run(MulOp{}, {first_elements(a_num), first_elements(a_den), first_elements(b_num), first_elements(b_den)},
          column)[1];
  auto powers = run(CommonDenominatorPowersOp{static_cast<uint64_t>(k)}, {e}, column);
  at::Tensor sums;
  if (has_constant_rows(a_num) && has_constant_rows(b_num)) {
    // k equal products: one value per prime.
    sums = first_elements(a_num).mul(first_elements(b_num)).remainder(column).mul(k);
  } else if (host_paths(a_num, b_num, primes)) {
    sums = at::empty({rows, m, n}, a_num.options());
    numerator_products_cpu(a_num.contiguous(), b_num.contiguous(), primes.contiguous(), sums);
  } else {
    // The products summed one inner index at a time, each reduced at once
    // (below 2^62), the running sum kept below 2^32.
    sums = at::zeros({rows, m, n}, a_num.options());
    for (int64_t t = 0; t < k; ++t)
      sums = (sums + a_num.slice(2, t, t + 1).mul(b_num.slice(1, t, t + 1)).remainder(column)).remainder(column);
  }
  out_num = run(ScaledSumOp{}, {sums, powers[0]}, column)[0].expand({rows, m, n});
  out_den = powers[1].expand({rows, m, n});
}

// Any device: one product and one sum per inner index, over [P, m, n] at a time.
void products_by_launches(const at::Tensor& a_num, const at::Tensor& a_den, const at::Tensor& b_num,
                          const at::Tensor& b_den, const at::Tensor& primes, at::Tensor& out_num,
                          at::Tensor& out_den) {
  const at::Tensor column = prime_column(primes, 3);
  for (int64_t t = 0; t < a_num.size(2); ++t) {
    auto product = run(MulOp{}, {a_num.slice(2, t, t + 1), a_den.slice(2, t, t + 1), b_num.slice(1, t, t + 1),
                                 b_den.slice(1, t, t + 1)},
                       column);
    if (t == 0) {
      out_num = std::move(product[0]);
      out_den = std::move(product[1]);
    } else {
      auto sum = run(AddOp{}, {out_num, out_den, product[0], product[1]}, column);
      out_num = std::move(sum[0]);
      out_den = std::move(sum[1]);
    }
  }
}

}  // namespace

void sum_of_products(const at::Tensor& a_num, const at::Tensor& a_den, const at::Tensor& b_num,
                     const at::Tensor& b_den, const at::Tensor& primes, at::Tensor& out_num, at::Tensor& out_den) {
  if (has_constant_rows(a_den) && has_constant_rows(b_den) && a_num.size(0) == b_num.size(0) &&
      primes.numel() == a_num.size(0) && a_den.sizes().equals(a_num.sizes()) &&
      b_den.sizes().equals(b_num.sizes())) {
    over_common_denominator(a_num, a_den, b_num, b_den, primes, out_num, out_den);
  } else if (host_residues(a_num, a_den, primes) && host_residues(b_num, b_den, primes.size(0))) {
    out_num = at::empty({a_num.size(0), a_num.size(1), b_num.size(2)}, a_num.options());
    out_den = at::empty_like(out_num);
    products_cpu(a_num.contiguous(), a_den.contiguous(), b_num.contiguous(), b_den.contiguous(), primes.contiguous(),
                 out_num, out_den);
  } else {
    products_by_launches(a_num, a_den, b_num, b_den, primes, out_num, out_den);
  }
}

}  // namespace kalvex::kernels
