#include "reduce/sum.h"

#include <ATen/ATen.h>

#include <string>

#include "core/arith.h"
#include "core/basis.h"
#include "core/construct.h"
#include "core/errors.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"
#include "reduce/halving.h"
#include "reduce/scan.h"

namespace kalvex {

namespace {

constexpr int64_t kChunk = 64;  // elements summed between reductions to lowest terms

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
  // An exact running total, in lowest terms after every addition.
  struct Rational {
    mpq_t v;
    Rational() { mpq_init(v); }
    ~Rational() { mpq_clear(v); }
  } total, term;
  for (int64_t c = 0; c < chunks; ++c) {
    ExactFraction f = read_reduced(reader, host_num.data_ptr<int64_t>() + c, chunks,
                                   host_den.data_ptr<int64_t>() + c, chunks);
    // No residue is 0, so no chunk reads back with a zero denominator.
    if (f.den.sign() == 0) fail(ErrorKind::Runtime, "chunk of a sum read back with a zero denominator");
    mpz_swap(mpq_numref(term.v), f.num.get());
    mpz_swap(mpq_denref(term.v), f.den.get());
    mpq_add(total.v, total.v, term.v);
  }
  BigInt total_num, total_den;
  mpz_swap(total_num.get(), mpq_numref(total.v));
  mpz_swap(total_den.get(), mpq_denref(total.v));
  return rebuilt(total_num, total_den, num.device(), standard_primes);
}

// n/d + m/d + ... reduces to the same fraction as (n + m + ...)/d: one read.
RationalTensor rebuilt_common(const RowScan& scan, const at::Tensor& primes, at::Device device,
                              const at::Tensor& standard_primes) {
  const at::Tensor host_primes = primes.cpu().to(at::kLong).contiguous();
  const auto basis = crt_basis(host_primes.data_ptr<int64_t>(), static_cast<size_t>(host_primes.numel()));
  FractionReader reader(*basis);
  ExactFraction f = read_reduced(reader, scan.numerator_sums.data(), 1, scan.denominators.data(), 1);
  return rebuilt(f.num, f.den, device, standard_primes);
}

// Inputs holding zero denominators have no value to reduce: they follow the
// chunked algorithm step by step, each reduction keeping what it cannot rebuild.
RationalTensor simplified_or_same(const RationalTensor& t, const at::Tensor& standard_primes) {
  return simplified(t, t.shape(), t.num.device(), standard_primes).value_or(t);
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
  const RowScan scan = scan_fractions(num, den, x.primes);
  if (scan.zero_denominator) return sum_degenerate(x, num, den, standard_primes);
  if (scan.common_denominator) return rebuilt_common(scan, x.primes, x.num.device(), standard_primes);
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
  // Products that share a denominator (those of float-captured vectors do) are
  // summed in the scan that forms them, without materialising them.
  if (const auto scan = scan_products(x, y)) {
    if (scan->common_denominator && !scan->zero_denominator)
      return rebuilt_common(*scan, x.primes, x.num.device(), standard_primes);
  }
  return sum_all(binary(BinaryOp::Mul, x, y), standard_primes);
}

}  // namespace kalvex
