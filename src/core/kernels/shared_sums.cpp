#include "core/kernels/shared_sums.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>

#include "core/basis.h"
#include "core/host_mod.h"
#include "core/kernels/constant_rows.h"
#include "core/modmath.h"
#include "core/paths.h"
#include "core/simd.h"

namespace kalvex::kernels {

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

// The numerators alone, for fractions whose denominator is known.
KALVEX_CLONES void sum_row(const int64_t* __restrict__ num, int64_t n, RowTotals& totals) {
  uint64_t sum = 0;
  for (int64_t i = 0; i < n; ++i) sum += static_cast<uint64_t>(num[i]);
  totals.numerators = sum;
}

KALVEX_CLONES void product_row(const int64_t* __restrict__ a, const int64_t* __restrict__ c, int64_t n, int64_t p,
                               RowTotals& totals) {
  const Modulus m(p);
  uint64_t sum = 0;
  for (int64_t i = 0; i < n; ++i) sum += static_cast<uint64_t>(mul_mod(a[i], c[i], m));
  totals.numerators = sum;
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
    scan.zero_in_every_row &= t.zeros != 0;
  }
  return scan;
}

// Any device: the numerator rows of num [P, n] summed modulo their primes, in
// spans whose plain sums stay below 2^62, then copied to the host.
std::vector<int64_t> numerator_sums_on_device(const at::Tensor& num, const at::Tensor& primes) {
  const int64_t rows = num.size(0), n = num.size(1);
  const at::Tensor column = prime_column(primes, 2);
  at::Tensor partial = at::zeros({rows, 1}, num.options());
  for (int64_t start = 0; start < n; start += kSpan)
    partial = (partial + num.slice(1, start, start + kSpan).sum(1, true).remainder(column)).remainder(column);
  const at::Tensor host = partial.view({-1}).cpu().contiguous();
  return std::vector<int64_t>(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + rows);
}

// One value per prime of a tensor with constant rows, on the host.
std::vector<int64_t> host_column(const at::Tensor& t) {
  const at::Tensor column = residue_column(t).cpu().contiguous();
  return std::vector<int64_t>(column.data_ptr<int64_t>(), column.data_ptr<int64_t>() + column.numel());
}

// Denominators known from their column: shared by every element.
void set_denominators(RowScan& scan, std::vector<int64_t> column) {
  scan.common_denominator = true;
  scan.zero_in_every_row = !column.empty() && std::all_of(column.begin(), column.end(), [](int64_t d) { return d == 0; });
  scan.denominators = std::move(column);
}

// n copies of value modulo p.
int64_t times_count(int64_t value, int64_t n, int64_t p) {
  const Modulus m(p);
  return mul_mod(floor_mod(value, p), floor_mod(n, p), m);
}

// Rows a host CPU loop reads directly: contiguous residues [P, n].
bool host_rows_apply(const at::Tensor& t, const at::Tensor& primes) {
  return host_paths(t, primes) && t.scalar_type() == at::kLong && t.is_contiguous();
}

// The numerator sums of fractions over a known denominator column.
RowScan scan_numerators(const at::Tensor& num, const at::Tensor& primes, std::vector<int64_t> denominators) {
  const int64_t rows = num.size(0), n = num.size(1);
  RowScan scan;
  if (has_constant_rows(num)) {
    const std::vector<int64_t> a = host_column(num);
    const at::Tensor cp = primes.cpu().contiguous();
    scan.numerator_sums.resize(rows);
    for (int64_t r = 0; r < rows; ++r) scan.numerator_sums[r] = times_count(a[r], n, cp.data_ptr<int64_t>()[r]);
  } else if (host_rows_apply(num, primes)) {
    const at::Tensor cp = primes.contiguous();
    const int64_t* pn = num.data_ptr<int64_t>();
    scan = scan_by_rows(rows, n, cp.data_ptr<int64_t>(), {}, [&](int64_t r, int64_t start, int64_t length,
                                                               RowTotals& totals) {
      sum_row(pn + r * n + start, length, totals);
    });
  } else {
    scan.numerator_sums = numerator_sums_on_device(num, primes);
  }
  set_denominators(scan, std::move(denominators));
  return scan;
}

// Products of operands whose denominators are constant rows: every product
// has the denominator b*d, and only the numerators a*c are summed; a
// numerator of constant rows is summed without being read per element.
RowScan scan_numerator_products(const RationalTensor& x, const RationalTensor& y, int64_t n, const int64_t* primes) {
  const std::vector<int64_t> b = host_column(x.denom), d = host_column(y.denom);
  std::vector<int64_t> denominators(kNumPrimes);
  for (int64_t r = 0; r < kNumPrimes; ++r) denominators[r] = mul_mod(b[r], d[r], Modulus(primes[r]));
  const bool a_constant = has_constant_rows(x.num), c_constant = has_constant_rows(y.num);
  RowScan scan;
  if (a_constant && c_constant) {
    const std::vector<int64_t> a = host_column(x.num), c = host_column(y.num);
    scan.numerator_sums.resize(kNumPrimes);
    for (int64_t r = 0; r < kNumPrimes; ++r)
      scan.numerator_sums[r] = times_count(mul_mod(a[r], c[r], Modulus(primes[r])), n, primes[r]);
  } else if (a_constant || c_constant) {
    // a * (c_1 + ... + c_n), or the same with the roles swapped.
    const std::vector<int64_t> factor = host_column(a_constant ? x.num : y.num);
    const int64_t* rows = (a_constant ? y.num : x.num).data_ptr<int64_t>();
    scan = scan_by_rows(kNumPrimes, n, primes, {}, [&](int64_t r, int64_t start, int64_t length, RowTotals& totals) {
      sum_row(rows + r * n + start, length, totals);
    });
    for (int64_t r = 0; r < kNumPrimes; ++r)
      scan.numerator_sums[r] = mul_mod(scan.numerator_sums[r], floor_mod(factor[r], primes[r]), Modulus(primes[r]));
  } else {
    const int64_t *a = x.num.data_ptr<int64_t>(), *c = y.num.data_ptr<int64_t>();
    scan = scan_by_rows(kNumPrimes, n, primes, {}, [&](int64_t r, int64_t start, int64_t length, RowTotals& totals) {
      product_row(a + r * n + start, c + r * n + start, length, primes[r], totals);
    });
  }
  set_denominators(scan, std::move(denominators));
  return scan;
}

}  // namespace

bool has_zero_denominator(const at::Tensor& den) {
  // A column of zeros is every element's denominator.
  if (has_constant_rows(den)) return residue_column(den).eq(0).all().item<bool>();
  return den.eq(0).all(0).any().item<bool>();
}

RowScan scan_fractions(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes) {
  const int64_t rows = num.size(0), n = num.size(1);
  // A denominator of constant rows is known without reading it.
  if (has_constant_rows(den) && den.size(0) == rows) return scan_numerators(num, primes, host_column(den));
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
  // Any device: a few whole-tensor operations; the flags and the first
  // denominators come to the host in one copy, the numerator sums in another.
  RowScan scan;
  const at::Tensor first = den.slice(1, 0, 1);
  const at::Tensor flags = at::stack({den.eq(first).all(), den.eq(0).any(1).all()}).to(at::kLong);
  const at::Tensor host = at::cat({flags, first.reshape({-1}).to(at::kLong)}).cpu().contiguous();
  const int64_t* h = host.data_ptr<int64_t>();
  scan.common_denominator = h[0] != 0;
  scan.zero_in_every_row = h[1] != 0;
  scan.denominators.assign(h + 2, h + 2 + rows);
  scan.numerator_sums = numerator_sums_on_device(num, primes);
  return scan;
}

c10::optional<RowScan> scan_products(const RationalTensor& x, const RationalTensor& y) {
  const at::Tensor* operands[] = {&x.num, &x.denom, &y.num, &y.denom};
  bool applies = host_paths(x.primes, x.num, x.denom, y.num, y.denom) && valid_basis(x.primes) &&
                 x.primes.numel() == kNumPrimes && x.primes.is_contiguous() && x.num.dim() >= 1 && x.num.size(0) == kNumPrimes && x.num.numel() >= 2 * kNumPrimes;
  for (const at::Tensor* t : operands)
    applies = applies && t->scalar_type() == at::kLong && t->sizes().equals(x.num.sizes()) &&
              (t->is_contiguous() || has_constant_rows(*t));
  if (!applies) return c10::nullopt;
  const int64_t n = x.num.numel() / kNumPrimes;
  const int64_t* primes = x.primes.data_ptr<int64_t>();
  if (has_constant_rows(x.denom) && has_constant_rows(y.denom)) return scan_numerator_products(x, y, n, primes);
  for (const at::Tensor* t : operands)
    if (!t->is_contiguous()) return c10::nullopt;
  const int64_t *a = x.num.data_ptr<int64_t>(), *b = x.denom.data_ptr<int64_t>();
  const int64_t *c = y.num.data_ptr<int64_t>(), *d = y.denom.data_ptr<int64_t>();
  std::vector<int64_t> first(kNumPrimes);
  for (int64_t r = 0; r < kNumPrimes; ++r) first[r] = mul_mod(b[r * n], d[r * n], Modulus(primes[r]));
  return scan_by_rows(kNumPrimes, n, primes, first, [&](int64_t r, int64_t start, int64_t length,
                                                         RowTotals& totals) {
    const int64_t o = r * n + start;
    scan_product_row(a + o, b + o, c + o, d + o, length, primes[r], first[r], totals);
  });
}

}  // namespace kalvex::kernels
