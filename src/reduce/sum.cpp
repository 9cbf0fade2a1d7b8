#include "reduce/sum.h"

// NOTE: [Sums read back once]
// Adding chunk results one after the other in exact arithmetic makes the cost
// grow with the size of the running total, which for values that do not
// cancel grows with every chunk: quadratic, and pointless once the total
// cannot be read back.  Instead:
//   1. One pass gives the residues of the exact total: the shared denominator
//      and the sum of the numerators when all elements share one, otherwise
//      the unreduced cross-multiplied form (NOTE: [Unreduced sums]).
//   2. That pair is read back once (NOTE: [Robust read-back]).  A reading that
//      is the value itself is the reduced total.
//   3. Otherwise the total may still fit while being too large for rational
//      reconstruction.  Chunks of 64 are read back and added exactly, a chunk
//      that does not read back element by element, while the running total
//      (numerator and denominator together) stays within twice the size that
//      a total that fits can have: past that it could only end in one that
//      fits by cancelling hundreds of bits, and the work is stopped, so its
//      cost stays linear.  A total reached this way must agree with the
//      residues of step 1 in every row.
//   4. Otherwise the total does not fit: the result is its exact unreduced
//      residues with the float sum of the elements' approximations, never a
//      value read from an overflowed pair.
// Results of steps 2 and 3 are rebuilt from the reduced total as from_fraction
// builds them, so they equal the chunk-by-chunk algorithm wherever that one
// stays in range.

#include <ATen/ATen.h>

#include <algorithm>
#include <string>

#include "core/arith.h"
#include "core/basis.h"
#include "core/checks.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/host_copy.h"
#include "core/kernels/reduce.h"
#include "core/kernels/residue_ops.h"
#include "core/kernels/shared_sums.h"
#include "core/paths.h"
#include "core/standard_basis.h"
#include "reconstruct/crt.h"
#include "reconstruct/float_view.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"

namespace kalvex {

namespace {

constexpr int64_t kChunk = 64;       // elements summed between reductions to lowest terms
constexpr int64_t kFirstBatch = 16;  // chunks summed on the device before the first read

RationalTensor rebuilt(const Fraction& f, at::Device device) {
  return from_value(f.num, f.den, std::vector<int64_t>{1}, device);
}

// The CRT constants of a basis; none for one that reads nothing back
// (repeated primes).
std::shared_ptr<const CrtBasis> host_basis(const at::Tensor& primes) {
  const at::Tensor host = primes.cpu().contiguous();
  try {
    return crt_basis(host.data_ptr<int64_t>(), static_cast<size_t>(host.numel()));
  } catch (const Error&) {
    return nullptr;
  }
}

// The residues of the exact total, one entry per prime.
struct TotalResidues {
  std::vector<int64_t> num, den;
};

// The total whose residues are num[i], den[i] and whose integers are bounded
// by `bounds`, when it can be read (NOTE: [Robust read-back]), in lowest terms.
c10::optional<Fraction> read_total(const CrtBasis& basis, const std::vector<int64_t>& num,
                                   const std::vector<int64_t>& den, const BitBounds& bounds) {
  FractionReader reader(basis);
  reader.read(num.data(), 1, den.data(), 1, num.size(), bounds);
  if (!reader.readable()) return c10::nullopt;
  Fraction f{std::move(reader.num()), std::move(reader.den())};
  reduce_fraction(f.num, f.den);
  return f;
}

std::vector<int64_t> host_vector(const at::Tensor& host_tensor) {
  const at::Tensor host = host_tensor.reshape({-1}).contiguous();
  return std::vector<int64_t>(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + host.numel());
}

// An exact running total in lowest terms.
class ExactTotal {
 public:
  ExactTotal() {
    mpq_init(total_);
    mpq_init(term_);
  }
  ~ExactTotal() {
    mpq_clear(total_);
    mpq_clear(term_);
  }
  ExactTotal(const ExactTotal&) = delete;
  ExactTotal& operator=(const ExactTotal&) = delete;

  // Adds num / den, den non-zero (reduced here; both are consumed).
  void add(BigInt& num, BigInt& den) {
    reduce_fraction(num, den);
    mpz_swap(mpq_numref(term_), num.get());
    mpz_swap(mpq_denref(term_), den.get());
    mpq_add(total_, total_, term_);
  }
  size_t bits() const { return mpz_sizeinbase(mpq_numref(total_), 2) + mpz_sizeinbase(mpq_denref(total_), 2); }
  Fraction take() {
    Fraction f;
    mpz_swap(f.num.get(), mpq_numref(total_));
    mpz_swap(f.den.get(), mpq_denref(total_));
    return f;
  }

 private:
  mpq_t total_, term_;
};

// The unreduced sums of chunks [first, first + count) of 64 elements (the
// last chunk of the tensor may be shorter), on the host as [P, count].
void chunk_sums(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes, int64_t first,
                int64_t count, at::Tensor& out_num, at::Tensor& out_den) {
  const int64_t rows = num.size(0), n = num.size(1);
  const int64_t start = first * kChunk, end = std::min(n, (first + count) * kChunk);
  const int64_t full = (end - start) / kChunk;
  std::vector<at::Tensor> parts_num, parts_den;
  if (full > 0) {
    at::Tensor cn, cd;
    kernels::reduce<AddOp>(num.slice(1, start, start + full * kChunk).reshape({rows, full, kChunk}),
             den.slice(1, start, start + full * kChunk).reshape({rows, full, kChunk}), primes, 2, cn, cd);
    parts_num.push_back(cn);
    parts_den.push_back(cd);
  }
  const int64_t tail = start + full * kChunk;
  if (tail < end) {
    at::Tensor cn, cd;
    kernels::reduce<AddOp>(num.slice(1, tail, end).unsqueeze(1), den.slice(1, tail, end).unsqueeze(1), primes, 2, cn,
                           cd);
    parts_num.push_back(cn);
    parts_den.push_back(cd);
  }
  const std::vector<at::Tensor> host = host_int64({at::cat(parts_num, 1), at::cat(parts_den, 1)});
  out_num = host[0].contiguous();
  out_den = host[1].contiguous();
}

// Step 3 of NOTE: [Sums read back once].
c10::optional<Fraction> sum_exactly(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes,
                                    const BitBounds& bounds, const CrtBasis& basis, const TotalResidues& total) {
  const int64_t rows = num.size(0), n = num.size(1);
  const int64_t chunks = (n + kChunk - 1) / kChunk;
  const size_t bound = 4 * mpz_sizeinbase(basis.modulus.get(), 2);
  FractionReader reader(basis);
  ExactTotal acc;
  for (int64_t first = 0, batch = kFirstBatch; first < chunks; first += batch, batch *= 2) {
    const int64_t count = std::min(batch, chunks - first);
    at::Tensor cn, cd;
    chunk_sums(num, den, primes, first, count, cn, cd);
    for (int64_t c = 0; c < count; ++c) {
      reader.read(cn.data_ptr<int64_t>() + c, count, cd.data_ptr<int64_t>() + c, count, static_cast<size_t>(rows),
                  sum_of_bounds(bounds, kChunk));
      if (reader.readable() && reader.den().sign() != 0) {
        acc.add(reader.num(), reader.den());
      } else {
        // Elements one by one: each is its own stored pair.
        const int64_t start = (first + c) * kChunk, length = std::min(kChunk, n - start);
        const std::vector<at::Tensor> host =
            host_int64({num.slice(1, start, start + length), den.slice(1, start, start + length)});
        const at::Tensor en = host[0].contiguous(), ed = host[1].contiguous();
        for (int64_t i = 0; i < length && acc.bits() <= bound; ++i) {
          reader.read(en.data_ptr<int64_t>() + i, length, ed.data_ptr<int64_t>() + i, length,
                      static_cast<size_t>(rows), bounds);
          if (!reader.readable() || reader.den().sign() == 0) return c10::nullopt;
          acc.add(reader.num(), reader.den());
        }
      }
      if (acc.bits() > bound) return c10::nullopt;
    }
  }
  Fraction f = acc.take();
  if (!congruent(basis, f.num, f.den, total.num.data(), 1, total.den.data(), 1)) return c10::nullopt;
  return f;
}

// The float sum of the elements' approximations (their float view where the
// tensor carries none), shape (1,).
at::Tensor approximate_sum(const RationalTensor& x) {
  if (x.approx) return x.approx->sum().unsqueeze(0);
  return float_view(x, x.shape(), x.num.device()).sum().unsqueeze(0);
}

RationalTensor simplified_or_same(const RationalTensor& t) {
  return simplified(t, t.shape(), t.num.device()).value_or(t);
}

// The chunk-by-chunk algorithm step by step: for inputs holding a zero
// denominator (which have no value to reduce, so each reduction keeps what it
// cannot rebuild) and for records outside the standard layout.  Reductions
// rebuild in the standard basis; in any other basis a reduced chunk could not
// be added to one that stayed, so nothing is reduced there.
RationalTensor sum_stepwise(const RationalTensor& x, const at::Tensor& num, const at::Tensor& den) {
  const bool reducible = same_basis(x.primes, standard_primes(x.num.device()));
  auto reduced = [&](const RationalTensor& t) { return reducible ? simplified_or_same(t) : t; };
  const int64_t n = num.size(1);
  c10::optional<RationalTensor> acc;
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t end = std::min(n, start + kChunk);
    at::Tensor cn, cd;
    kernels::reduce<AddOp>(num.slice(1, start, end), den.slice(1, start, end), x.primes, 1, cn, cd);
    RationalTensor chunk{cn.unsqueeze(1), cd.unsqueeze(1), x.primes, c10::nullopt};
    chunk.bits = sum_of_bounds(x.bits, end - start);
    chunk = reduced(chunk);
    acc = acc ? reduced(binary(BinaryOp::Add, *acc, chunk)) : chunk;
  }
  RationalTensor result{acc->num, acc->denom, x.primes, c10::nullopt};
  result.bits = acc->bits;
  if (x.approx) result.approx = x.approx->sum().unsqueeze(0);
  return reduced(result);
}

bool standard_layout(const RationalTensor& x, const at::Tensor& num, const at::Tensor& den) {
  return num.size(0) == kNumPrimes && num.sizes().equals(den.sizes()) && x.primes.device() == num.device() &&
         den.device() == num.device() && valid_basis(x.primes);
}

}  // namespace

RationalTensor sum_all(const RationalTensor& x) {
  check_residues(x);
  const int64_t rows = x.num.size(0);
  const at::Tensor num = x.num.reshape({rows, -1});
  const at::Tensor den = x.denom.reshape({rows, -1});
  const int64_t n = num.size(1);
  if (n == 0) return from_fraction(int64_t{0}, int64_t{1}, std::vector<int64_t>{1}, x.num.device());
  if (n == 1) {
    c10::optional<at::Tensor> approx;
    if (x.approx) approx = x.approx->sum().unsqueeze(0);
    RationalTensor copy{num.clone(), den.clone(), x.primes, approx};
    copy.bits = x.bits;
    return copy;
  }
  if (!standard_layout(x, num, den)) return sum_stepwise(x, num, den);
  const auto basis = host_basis(x.primes);
  if (!basis) return sum_stepwise(x, num, den);

  // Step 1: the residues of the exact total, in one pass over the residues
  // (the scan for a shared denominator runs only when the first two share one).
  TotalResidues total;
  BitBounds total_bits;
  at::Tensor folded_num, folded_den;
  bool zero_in_every_row;
  kernels::RowScan scan;
  scan.common_denominator = has_constant_rows(den) || den.select(1, 0).equal(den.select(1, 1));
  if (scan.common_denominator) scan = kernels::scan_fractions(num, den, x.primes);
  if (scan.common_denominator) {
    total.num = scan.numerator_sums;
    total.den = scan.denominators;
    total_bits = shared_denominator_sum_bounds(x.bits, n);
    zero_in_every_row = scan.zero_in_every_row;
  } else {
    kernels::reduce<AddOp>(num, den, x.primes, 1, folded_num, folded_den);
    const std::vector<at::Tensor> host = host_int64({folded_num, folded_den});
    total.num = host_vector(host[0]);
    total.den = host_vector(host[1]);
    total_bits = sum_of_bounds(x.bits, n);
    // A product of denominators is 0 modulo a prime exactly where one of them is.
    zero_in_every_row = std::all_of(total.den.begin(), total.den.end(), [](int64_t d) { return d == 0; });
  }
  if (zero_in_every_row && kernels::has_zero_denominator(den)) return sum_stepwise(x, num, den);

  // Step 2: one read.
  if (auto f = read_total(*basis, total.num, total.den, total_bits)) return rebuilt(*f, x.num.device());
  // Step 3: exact accumulation while it can still end in a total that fits.
  if (auto f = sum_exactly(num, den, x.primes, x.bits, *basis, total)) return rebuilt(*f, x.num.device());
  // Step 4: exact residues, approximate value.
  if (!folded_num.defined()) kernels::reduce<AddOp>(num, den, x.primes, 1, folded_num, folded_den);
  RationalTensor result{folded_num.unsqueeze(1), folded_den.unsqueeze(1), x.primes, approximate_sum(x)};
  result.bits = sum_of_bounds(x.bits, n);
  return result;
}

RationalTensor sum_dim(const RationalTensor& x, int64_t dim) {
  check_residues(x);
  const int64_t rank = x.num.dim() - 1;
  if (dim < -rank || dim >= rank) {
    fail(ErrorKind::Value, "dim " + std::to_string(dim) + " is out of range for a tensor of " +
                               std::to_string(rank) + " dimension" + (rank == 1 ? "" : "s") + " (expected -" +
                               std::to_string(rank) + " <= dim < " + std::to_string(rank) + ")");
  }
  if (dim < 0) dim += rank;
  at::Tensor out_num, out_den;
  const int64_t count = x.num.size(dim + 1);
  if (count == 0) {
    // The empty sum is the exact 0.
    std::vector<int64_t> sizes(x.num.sizes().begin(), x.num.sizes().end());
    sizes.erase(sizes.begin() + dim + 1);
    out_num = at::zeros(sizes, x.num.options());
    out_den = at::ones_like(out_num);
  } else {
    kernels::reduce<AddOp>(x.num, x.denom, x.primes, dim + 1, out_num, out_den);
  }
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = at::sum(*x.approx, {dim});
  RationalTensor result{out_num, out_den, x.primes, approx};
  result.bits = sum_of_bounds(x.bits, count);
  return result;
}

RationalTensor dot(const RationalTensor& x_in, const RationalTensor& y_in) {
  check_operands(x_in, y_in);
  const auto [x, y] = with_common_rank(x_in, y_in);
  // Products that share a denominator (those of float-captured vectors do) are
  // summed in the scan that forms them, without materialising them.
  const auto scan = kernels::scan_products(x, y);
  if (scan && scan->common_denominator && !scan->zero_in_every_row) {
    if (const auto basis = host_basis(x.primes)) {
      const BitBounds total_bits =
          shared_denominator_sum_bounds(product_bounds(x.bits, y.bits), x.num.numel() / x.num.size(0));
      if (auto f = read_total(*basis, scan->numerator_sums, scan->denominators, total_bits))
        return rebuilt(*f, x.num.device());
    }
  }
  return sum_all(binary(BinaryOp::Mul, x, y));
}

}  // namespace kalvex
