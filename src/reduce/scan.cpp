#include "reduce/scan.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include "core/basis.h"
#include "core/modmath.h"
#include "core/paths.h"
#include "core/simd.h"

namespace kalvex {

namespace {

// Residues are below 2^31: spans of 2^31 of them sum without overflow.
constexpr int64_t kSpan = int64_t{1} << 31;

// Per row: the numerator residues summed, and the counts of denominators
// that differ from the first one or are zero.  Counting instead of branching
// keeps the loops vectorised.
struct RowTotals {
  uint64_t numerators = 0, differing = 0, zeros = 0;
};

KALVEX_CLONES void scan_row(const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t n,
                            int64_t first, RowTotals& totals) {
  uint64_t sum = 0, differing = 0, zeros = 0;
  for (int64_t i = 0; i < n; ++i) {
    sum += static_cast<uint64_t>(num[i]);
    differing += den[i] != first;
    zeros += den[i] == 0;
  }
  totals.numerators = sum;
  totals.differing += differing;
  totals.zeros += zeros;
}

// The same over the products (a/b)(c/d): numerators a*c, denominators b*d.
KALVEX_CLONES void scan_product_row(const int64_t* __restrict__ a, const int64_t* __restrict__ b,
                                    const int64_t* __restrict__ c, const int64_t* __restrict__ d, int64_t n,
                                    int64_t p, int64_t first, RowTotals& totals) {
  const Modulus m(p);
  uint64_t sum = 0, differing = 0, zeros = 0;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t den = mul_mod(b[i], d[i], m);
    sum += static_cast<uint64_t>(mul_mod(a[i], c[i], m));
    differing += den != first;
    zeros += den == 0;
  }
  totals.numerators = sum;
  totals.differing += differing;
  totals.zeros += zeros;
}

// Rows of n elements, one task per prime: scan_span(row, start, length,
// totals) scans one span; the sums are reduced modulo the row's prime.
template <typename ScanSpan>
RowScan scan_by_rows(int64_t rows, int64_t n, const int64_t* primes, std::vector<int64_t> denominators,
                     ScanSpan&& scan_span) {
  std::vector<RowTotals> totals(rows);
  RowScan scan;
  scan.numerator_sums.assign(rows, 0);
  at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r) {
      const uint64_t p = static_cast<uint64_t>(primes[r]);
      uint64_t total = 0;
      for (int64_t start = 0; start < n; start += kSpan) {
        scan_span(r, start, std::min(kSpan, n - start), totals[r]);
        total = (total + totals[r].numerators % p) % p;
      }
      scan.numerator_sums[r] = static_cast<int64_t>(total);
    }
  });
  scan.denominators = std::move(denominators);
  scan.zero_in_every_row = rows > 0;
  for (const RowTotals& t : totals) {
    scan.common_denominator &= t.differing == 0;
    scan.zero_denominator |= t.zeros != 0;
    scan.zero_in_every_row &= t.zeros != 0;
  }
  return scan;
}

}  // namespace

bool has_zero_denominator(const at::Tensor& den) { return den.eq(0).all(0).any().item<bool>(); }

RowScan scan_fractions(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes) {
  const int64_t rows = num.size(0), n = num.size(1);
  if (host_residues(num, den, primes)) {
    const at::Tensor cn = num.contiguous(), cd = den.contiguous(), cp = primes.contiguous();
    const int64_t *pn = cn.data_ptr<int64_t>(), *pd = cd.data_ptr<int64_t>();
    std::vector<int64_t> first(rows);
    for (int64_t r = 0; r < rows; ++r) first[r] = pd[r * n];
    return scan_by_rows(rows, n, cp.data_ptr<int64_t>(), first, [&](int64_t r, int64_t start, int64_t length,
                                                                    RowTotals& totals) {
      scan_row(pn + r * n + start, pd + r * n + start, length, first[r], totals);
    });
  }
  // Any device: a few whole-tensor operations and small copies to the host.
  RowScan scan;
  const at::Tensor first = den.slice(1, 0, 1);
  scan.common_denominator = den.eq(first).all().item<bool>();
  const at::Tensor zeros_per_row = den.eq(0).any(1);
  scan.zero_denominator = zeros_per_row.any().item<bool>();
  scan.zero_in_every_row = zeros_per_row.all().item<bool>();
  const at::Tensor host_first = first.reshape({-1}).cpu().contiguous();
  scan.denominators.assign(host_first.data_ptr<int64_t>(), host_first.data_ptr<int64_t>() + rows);
  const at::Tensor column = prime_column(primes, 2);
  at::Tensor partial = at::zeros({rows, 1}, num.options());
  for (int64_t start = 0; start < n; start += kSpan)
    partial = (partial + num.slice(1, start, start + kSpan).sum(1, true).remainder(column)).remainder(column);
  const at::Tensor host = partial.view({-1}).cpu().contiguous();
  scan.numerator_sums.assign(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + rows);
  return scan;
}

c10::optional<RowScan> scan_products(const RationalTensor& x, const RationalTensor& y) {
  if (!host_residues(x.num, x.denom, x.primes) || !host_residues(y.num, y.denom, x.primes) ||
      x.primes.numel() != kNumPrimes || !y.num.sizes().equals(x.num.sizes()) || x.num.numel() < 2 * kNumPrimes)
    return c10::nullopt;
  const at::Tensor xn = x.num.contiguous(), xd = x.denom.contiguous(), yn = y.num.contiguous(),
                   yd = y.denom.contiguous(), basis = x.primes.contiguous();
  const int64_t n = x.num.numel() / kNumPrimes;
  const int64_t *a = xn.data_ptr<int64_t>(), *b = xd.data_ptr<int64_t>();
  const int64_t *c = yn.data_ptr<int64_t>(), *d = yd.data_ptr<int64_t>();
  const int64_t* primes = basis.data_ptr<int64_t>();
  std::vector<int64_t> first(kNumPrimes);
  for (int64_t r = 0; r < kNumPrimes; ++r) first[r] = mul_mod(b[r * n], d[r * n], Modulus(primes[r]));
  return scan_by_rows(kNumPrimes, n, primes, first, [&](int64_t r, int64_t start, int64_t length,
                                                         RowTotals& totals) {
    const int64_t o = r * n + start;
    scan_product_row(a + o, b + o, c + o, d + o, length, primes[r], first[r], totals);
  });
}

}  // namespace kalvex
