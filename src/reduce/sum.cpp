#include "reduce/sum.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <string>

#include "core/arith.h"
#include "core/basis.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/modmath.h"
#include "core/simd.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"
#include "reduce/halving.h"

namespace kalvex {

namespace {

constexpr int64_t kChunk = 64;  // elements summed between reductions to lowest terms

// One pass over the residues: per prime, the sum of the numerators, whether
// every denominator equals the first one, and whether any denominator is 0.
struct RowScan {
  std::vector<int64_t> numerator_sums;  // modulo the row's prime
  bool common_denominator = true;
  bool zero_denominator = false;
};

// Per row: the numerator residues summed (below 2^31 each, so up to 2^32 of
// them fit in 64 bits), and the counts of denominators that differ from the
// first one or are zero.  Counting instead of branching keeps it vectorised.
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

// The same scan over the element-wise products of two operands, without
// materialising them: numerators a*c, denominators b*d.
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

RowScan scan_rows_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes) {
  const int64_t rows = num.size(0), n = num.size(1);
  constexpr int64_t kSpan = int64_t{1} << 31;
  std::vector<RowTotals> totals(rows);
  std::vector<int64_t> sums(rows, 0);
  const int64_t* pn = num.data_ptr<int64_t>();
  const int64_t* pd = den.data_ptr<int64_t>();
  const int64_t* pp = primes.data_ptr<int64_t>();
  at::parallel_for(0, rows, 1, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r) {
      const uint64_t p = static_cast<uint64_t>(pp[r]);
      uint64_t total = 0;
      for (int64_t start = 0; start < n; start += kSpan) {
        scan_row(pn + r * n + start, pd + r * n + start, std::min(kSpan, n - start), pd[r * n], totals[r]);
        total = (total + totals[r].numerators % p) % p;
      }
      sums[r] = static_cast<int64_t>(total);
    }
  });
  RowScan scan;
  scan.numerator_sums = std::move(sums);
  for (const RowTotals& t : totals) {
    scan.common_denominator &= t.differing == 0;
    scan.zero_denominator |= t.zeros != 0;
  }
  return scan;
}

// Primes the fast scan can reduce by: every entry in [2, 2^31).
bool valid_basis(const at::Tensor& primes) {
  const at::Tensor p = primes.contiguous();
  const int64_t* v = p.data_ptr<int64_t>();
  for (int64_t i = 0; i < p.numel(); ++i)
    if (v[i] < 2 || v[i] >= (int64_t{1} << 31)) return false;
  return true;
}

RowScan scan_rows(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes) {
  if (num.is_cpu() && den.is_cpu() && primes.is_cpu() && valid_basis(primes)) {
    return scan_rows_cpu(num.contiguous(), den.contiguous(), primes.contiguous().to(at::kLong));
  }
  RowScan scan;
  scan.common_denominator = den.eq(den.slice(1, 0, 1)).all().item<bool>();
  scan.zero_denominator = den.eq(0).any().item<bool>();
  if (scan.common_denominator && !scan.zero_denominator) {
    // Partial sums of at most 2^31 residues each fit in int64.
    const at::Tensor column = primes.view({-1, 1});
    at::Tensor partial = at::zeros({num.size(0), 1}, num.options());
    for (int64_t start = 0; start < num.size(1); start += int64_t{1} << 31) {
      at::Tensor block = num.slice(1, start, start + (int64_t{1} << 31)).sum(1, true);
      partial = (partial + block.remainder(column)).remainder(column);
    }
    const at::Tensor host = partial.view({-1}).cpu();
    scan.numerator_sums.assign(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + host.numel());
  }
  return scan;
}

// The exact value of the fraction whose residues are num[i], den[i] (i over
// the basis), reduced; read robustly.
struct ExactFraction {
  BigInt num, den;
};

ExactFraction read_reduced(FractionReader& reader, const int64_t* num, int64_t num_stride, const int64_t* den,
                           int64_t den_stride) {
  reader.read(num, num_stride, den, den_stride, kNumPrimes);
  ExactFraction f{reader.num(), reader.den()};
  reduce_fraction(f.num, f.den);
  return f;
}

RationalTensor rebuilt(const BigInt& num, const BigInt& den, at::Device device, const at::Tensor& standard_primes) {
  return from_fraction(num, den, std::vector<int64_t>{1}, device, standard_primes);
}

// Chunks of 64 reduced by halving passes on the device, all chunks at once;
// the chunk results (one copy to the host) are read exactly and added in
// exact host arithmetic.
RationalTensor sum_by_chunks(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                             const at::Tensor& standard_primes) {
  const int64_t n = num.size(1);
  const int64_t full = n / kChunk;
  std::vector<at::Tensor> chunk_num, chunk_den;
  if (full > 0) {
    at::Tensor cn, cd;
    sum_axis(num.slice(1, 0, full * kChunk).reshape({kNumPrimes, full, kChunk}),
             den.slice(1, 0, full * kChunk).reshape({kNumPrimes, full, kChunk}), primes, 2, cn, cd);
    chunk_num.push_back(cn);
    chunk_den.push_back(cd);
  }
  if (n % kChunk != 0) {
    at::Tensor cn, cd;
    sum_axis(num.slice(1, full * kChunk, n).unsqueeze(1), den.slice(1, full * kChunk, n).unsqueeze(1), primes, 2,
             cn, cd);
    chunk_num.push_back(cn);
    chunk_den.push_back(cd);
  }
  const at::Tensor host_num = at::cat(chunk_num, 1).cpu().contiguous();
  const at::Tensor host_den = at::cat(chunk_den, 1).cpu().contiguous();
  const at::Tensor host_primes = primes.cpu().to(at::kLong).contiguous();
  const auto basis = crt_basis(host_primes.data_ptr<int64_t>(), static_cast<size_t>(host_primes.numel()));
  FractionReader reader(*basis);
  const int64_t chunks = host_num.size(1);
  mpq_t total, term;
  mpq_init(total);
  mpq_init(term);
  for (int64_t c = 0; c < chunks; ++c) {
    ExactFraction f = read_reduced(reader, host_num.data_ptr<int64_t>() + c, chunks,
                                   host_den.data_ptr<int64_t>() + c, chunks);
    mpz_set(mpq_numref(term), f.num.get());
    mpz_set(mpq_denref(term), f.den.get());
    mpq_add(total, total, term);
  }
  BigInt total_num, total_den;
  mpz_set(total_num.get(), mpq_numref(total));
  mpz_set(total_den.get(), mpq_denref(total));
  mpq_clear(total);
  mpq_clear(term);
  return rebuilt(total_num, total_den, num.device(), standard_primes);
}

// n/d + m/d + ... reduces to the same fraction as (n + m + ...)/d: one read.
RationalTensor rebuilt_common(const int64_t* numerator_sums, const int64_t* denominator, const at::Tensor& primes,
                              at::Device device, const at::Tensor& standard_primes) {
  const at::Tensor host_primes = primes.cpu().to(at::kLong).contiguous();
  const auto basis = crt_basis(host_primes.data_ptr<int64_t>(), static_cast<size_t>(host_primes.numel()));
  FractionReader reader(*basis);
  ExactFraction f = read_reduced(reader, numerator_sums, 1, denominator, 1);
  return rebuilt(f.num, f.den, device, standard_primes);
}

// Inputs holding zero denominators have no value to reduce: they follow the
// chunked algorithm step by step, each reduction keeping what it cannot rebuild.
RationalTensor simplified_or_same(const RationalTensor& t, const at::Tensor& standard_primes) {
  try {
    const Fraction value = read_scalar(t.num, t.denom, t.primes);
    auto rebuilt_value = rebuild_scalar(value, t.shape(), t.num.device(), standard_primes);
    if (rebuilt_value) return *rebuilt_value;
  } catch (const std::exception&) {
  }
  return t;
}

RationalTensor sum_degenerate(const RationalTensor& x, const at::Tensor& num, const at::Tensor& den,
                              const at::Tensor& standard_primes) {
  const int64_t n = num.size(1);
  c10::optional<RationalTensor> acc;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t end = std::min(n, start + kChunk);
    at::Tensor cn, cd;
    sum_axis(num.slice(1, start, end), den.slice(1, start, end), x.primes, 1, cn, cd);
    RationalTensor chunk{cn.unsqueeze(1), cd.unsqueeze(1), x.primes, c10::nullopt};
    chunk = simplified_or_same(chunk, standard_primes);
    acc = acc ? simplified_or_same(binary(BinaryOp::Add, *acc, chunk), standard_primes) : chunk;
  }
  RationalTensor result{acc->num, acc->denom, x.primes, c10::nullopt};
  if (x.approx) result.approx = x.approx->sum().unsqueeze(0);
  return simplified_or_same(result, standard_primes);
}

}  // namespace

RationalTensor sum_all(const RationalTensor& x, const at::Tensor& standard_primes) {
  const at::Tensor num = x.num.reshape({kNumPrimes, -1});
  const at::Tensor den = x.denom.reshape({kNumPrimes, -1});
  const int64_t n = num.size(1);
  if (n == 0) return from_fraction(int64_t{0}, int64_t{1}, std::vector<int64_t>{1}, x.num.device(), standard_primes);
  if (n == 1) {
    c10::optional<at::Tensor> approx;
    if (x.approx) approx = x.approx->sum().unsqueeze(0);
    return RationalTensor{num.clone(), den.clone(), x.primes, approx};
  }
  // Residues that do not form a proper [P, n] pair against a [P] basis take
  // the step-by-step path, where torch reports what does not fit.
  const bool well_formed = num.sizes().equals(den.sizes()) && num.scalar_type() == at::kLong &&
                           den.scalar_type() == at::kLong && x.primes.dim() == 1 &&
                           x.primes.scalar_type() == at::kLong && x.primes.numel() == kNumPrimes &&
                           x.primes.device() == num.device() && den.device() == num.device();
  if (!well_formed) return sum_degenerate(x, num, den, standard_primes);
  const RowScan scan = scan_rows(num, den, x.primes);
  if (scan.zero_denominator) return sum_degenerate(x, num, den, standard_primes);
  if (scan.common_denominator) {
    const at::Tensor first_den = den.slice(1, 0, 1).reshape({-1}).cpu().contiguous();
    return rebuilt_common(scan.numerator_sums.data(), first_den.data_ptr<int64_t>(), x.primes, x.num.device(),
                          standard_primes);
  }
  return sum_by_chunks(num, den, x.primes, standard_primes);
}

RationalTensor sum_dim(const RationalTensor& x, int64_t dim) {
  const int64_t rank = x.num.dim() - 1;
  if (dim < -rank || dim >= rank) {
    fail(ErrorKind::Value, "dim " + std::to_string(dim) + " is out of range for a tensor of " +
                               std::to_string(rank) + " dimension" + (rank == 1 ? "" : "s") + " (expected -" +
                               std::to_string(rank) + " <= dim < " + std::to_string(rank) + ")");
  }
  if (dim < 0) dim += rank;
  at::Tensor out_num, out_den;
  if (x.num.size(dim + 1) == 0) {
    // The empty sum is the exact 0.
    std::vector<int64_t> sizes(x.num.sizes().begin(), x.num.sizes().end());
    sizes.erase(sizes.begin() + dim + 1);
    out_num = at::zeros(sizes, x.num.options());
    out_den = at::ones_like(out_num);
  } else {
    sum_axis(x.num, x.denom, x.primes, dim + 1, out_num, out_den);
  }
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = at::sum(*x.approx, {dim});
  return RationalTensor{out_num, out_den, x.primes, approx};
}

RationalTensor dot(const RationalTensor& x, const RationalTensor& y, const at::Tensor& standard_primes) {
  // Operands of one shape whose products share a denominator (float-captured
  // vectors do) are summed in one scan, without materialising the products.
  const at::Tensor* operands[] = {&x.num, &x.denom, &y.num, &y.denom};
  bool fusable = x.primes.is_cpu() && x.primes.dim() == 1 && x.primes.scalar_type() == at::kLong &&
                 x.primes.numel() == kNumPrimes && x.primes.is_contiguous() && valid_basis(x.primes) &&
                 x.num.dim() >= 1 && x.num.size(0) == kNumPrimes && x.num.numel() >= 2 * kNumPrimes;
  for (const at::Tensor* t : operands)
    fusable = fusable && t->is_cpu() && t->scalar_type() == at::kLong && t->is_contiguous() &&
              t->sizes().equals(x.num.sizes());
  if (fusable) {
    const int64_t n = x.num.numel() / kNumPrimes;
    const int64_t *a = x.num.data_ptr<int64_t>(), *b = x.denom.data_ptr<int64_t>();
    const int64_t *c = y.num.data_ptr<int64_t>(), *d = y.denom.data_ptr<int64_t>();
    const int64_t* pp = x.primes.data_ptr<int64_t>();
    constexpr int64_t kSpan = int64_t{1} << 31;
    std::vector<RowTotals> totals(kNumPrimes);
    std::vector<int64_t> sums(kNumPrimes), first(kNumPrimes);
    at::parallel_for(0, kNumPrimes, 1, [&](int64_t begin, int64_t end) {
      for (int64_t r = begin; r < end; ++r) {
        const int64_t o = r * n;
        first[r] = mul_mod(b[o], d[o], Modulus(pp[r]));
        const uint64_t p = static_cast<uint64_t>(pp[r]);
        uint64_t total = 0;
        for (int64_t start = 0; start < n; start += kSpan) {
          const int64_t len = std::min(kSpan, n - start);
          scan_product_row(a + o + start, b + o + start, c + o + start, d + o + start, len, pp[r], first[r],
                           totals[r]);
          total = (total + totals[r].numerators % p) % p;
        }
        sums[r] = static_cast<int64_t>(total);
      }
    });
    bool common = true, zero = false;
    for (const RowTotals& t : totals) common &= t.differing == 0, zero |= t.zeros != 0;
    if (common && !zero) return rebuilt_common(sums.data(), first.data(), x.primes, x.num.device(), standard_primes);
  }
  return sum_all(binary(BinaryOp::Mul, x, y), standard_primes);
}

}  // namespace kalvex
