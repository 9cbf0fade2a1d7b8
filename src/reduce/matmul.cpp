#include "reduce/matmul.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <sstream>

#include "core/arith.h"
#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/residue_ops.h"
#include "core/modmath.h"
#include "core/paths.h"
#include "core/simd.h"

namespace kalvex {

namespace {

// The numerator product runs on the host: CPU residues and primes.
bool numerators_on_host(const RationalTensor& a, const RationalTensor& b) {
  return host_paths(a.num, b.num, a.primes);
}

// acc[j] += a * b[j] for a row of fractions: (N, D) <- (N*bd + D*bn, D*bd)
// with (bn, bd) = (a_num * b_num[j], a_den * b_den[j]).
KALVEX_CLONES void accumulate_row(double a_num, double a_den, const int64_t* __restrict__ b_num,
                                  const int64_t* __restrict__ b_den, int64_t n, int64_t p, double* __restrict__ acc_num,
                                  double* __restrict__ acc_den) {
  const Modulus m(p);
  for (int64_t j = 0; j < n; ++j) {
    const double pn = mul_mod_d(a_num, as_double(b_num[j]), m);
    const double pd = mul_mod_d(a_den, as_double(b_den[j]), m);
    acc_num[j] = add_mod_d(mul_mod_d(acc_num[j], pd, m), mul_mod_d(acc_den[j], pn, m), m);
    acc_den[j] = mul_mod_d(acc_den[j], pd, m);
  }
}

KALVEX_CLONES void first_row(double a_num, double a_den, const int64_t* __restrict__ b_num,
                             const int64_t* __restrict__ b_den, int64_t n, int64_t p, double* __restrict__ acc_num,
                             double* __restrict__ acc_den) {
  const Modulus m(p);
  for (int64_t j = 0; j < n; ++j) {
    acc_num[j] = mul_mod_d(a_num, as_double(b_num[j]), m);
    acc_den[j] = mul_mod_d(a_den, as_double(b_den[j]), m);
  }
}

// CPU: one task per (prime, output row), accumulating over t along rows of B.
void matmul_cpu(const at::Tensor& a_num, const at::Tensor& a_den, const at::Tensor& b_num, const at::Tensor& b_den,
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
      for (int64_t t = 0; t < k; ++t) {
        const int64_t* b_row_num = bn + (r * k + t) * n;
        const int64_t* b_row_den = bd + (r * k + t) * n;
        (t == 0 ? first_row : accumulate_row)(as_double(a_row_num[t]), as_double(a_row_den[t]), b_row_num, b_row_den,
                                               n, pp[r], acc_num.data(), acc_den.data());
      }
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

void numerator_matmul_cpu(const at::Tensor& a_num, const at::Tensor& b_num, const at::Tensor& primes,
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
      for (int64_t t = 0; t < k; ++t) accumulate_numerators(as_double(a_row[t]), bn + (r * k + t) * n, n, pp[r], acc.data());
      int64_t* out_row = on + (r * m + i) * n;
      for (int64_t j = 0; j < n; ++j) out_row[j] = as_residue(acc[j]);
    }
  });
}

// Operands whose denominators are constant rows b, d: every product has the
// denominator e = b*d, so the sum over k of them is e^(k-1) (sum of the
// numerator products) / e^k (NOTE: [Unreduced sums]); the denominator of
// the result stays one value per prime.
void matmul_common_denominator(const RationalTensor& a, const RationalTensor& b, at::Tensor& out_num,
                               at::Tensor& out_den) {
  const int64_t rows = a.num.size(0), m = a.num.size(1), k = a.num.size(2), n = b.num.size(2);
  const at::Tensor column = prime_column(a.primes, 3);
  const at::Tensor e = kernels::run(MulOp{}, {first_elements(a.num), first_elements(a.denom), first_elements(b.num),
                                              first_elements(b.denom)},
                                    column)[1];
  auto powers = kernels::run(CommonDenominatorPowersOp{static_cast<uint64_t>(k)}, {e}, column);
  at::Tensor sums;
  if (has_constant_rows(a.num) && has_constant_rows(b.num)) {
    // k equal products: one value per prime.
    sums = first_elements(a.num).mul(first_elements(b.num)).remainder(column).mul(k);
  } else if (numerators_on_host(a, b)) {
    const at::Tensor an = a.num.contiguous(), bn = b.num.contiguous();
    sums = at::empty({rows, m, n}, an.options());
    numerator_matmul_cpu(an, bn, a.primes.contiguous(), sums);
  } else {
    // Any device: the products summed one inner index at a time, each
    // reduced at once (below 2^62), the running sum kept below 2^32.
    const at::Tensor p = column;
    sums = at::zeros({rows, m, n}, a.num.options());
    for (int64_t t = 0; t < k; ++t)
      sums = (sums + a.num.slice(2, t, t + 1).mul(b.num.slice(1, t, t + 1)).remainder(p)).remainder(p);
  }
  out_num = kernels::run(ScaledSumOp{}, {sums, powers[0]}, column)[0].expand({rows, m, n});
  out_den = powers[1].expand({rows, m, n});
}

// Any device: one fused product and one fused addition per inner index, over
// [P, m, n] at a time.
void matmul_generic(const RationalTensor& a, const RationalTensor& b, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t k = a.num.size(2);
  c10::optional<RationalTensor> acc;
  for (int64_t t = 0; t < k; ++t) {
    RationalTensor column{a.num.slice(2, t, t + 1), a.denom.slice(2, t, t + 1), a.primes, c10::nullopt};
    RationalTensor row{b.num.slice(1, t, t + 1), b.denom.slice(1, t, t + 1), a.primes, c10::nullopt};
    RationalTensor product = binary(BinaryOp::Mul, column, row);
    acc = acc ? binary(BinaryOp::Add, *acc, product) : product;
  }
  out_num = acc->num;
  out_den = acc->denom;
}

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
  if (has_constant_rows(a.denom) && has_constant_rows(b.denom) && a.num.size(0) == b.num.size(0) &&
      a.primes.numel() == a.num.size(0) && a.denom.sizes().equals(a.num.sizes()) &&
      b.denom.sizes().equals(b.num.sizes())) {
    matmul_common_denominator(a, b, result.num, result.denom);
    return result;
  }
  if (host_residues(a.num, a.denom, a.primes) && host_residues(b.num, b.denom, a.primes)) {
    const at::Tensor an = a.num.contiguous(), ad = a.denom.contiguous();
    const at::Tensor bn = b.num.contiguous(), bd = b.denom.contiguous();
    const at::Tensor primes = a.primes.contiguous();
    result.num = at::empty({a.num.size(0), m, n}, an.options());
    result.denom = at::empty({a.num.size(0), m, n}, an.options());
    matmul_cpu(an, ad, bn, bd, primes, result.num, result.denom);
  } else {
    matmul_generic(a, b, result.num, result.denom);
  }
  return result;
}

}  // namespace kalvex
