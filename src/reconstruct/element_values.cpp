#include "reconstruct/element_values.h"

#include <ATen/ATen.h>

#include <algorithm>

#include "core/basis.h"
#include "core/kernels/host_copy.h"
#include "core/kernels/take_along.h"
#include "core/standard_basis.h"

namespace kalvex {

namespace {

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

// gcd(a, b) for b > 0 by shifts and subtractions: a power-of-two denominator
// (every captured float has one) takes a single step.
uint64_t binary_gcd(uint64_t a, uint64_t b) {
  if (a == 0) return b;
  const int shift = __builtin_ctzll(a | b);
  a >>= __builtin_ctzll(a);
  b >>= __builtin_ctzll(b);
  while (a != b) {
    if (a > b) std::swap(a, b);
    if (a == 1) break;
    // Far apart (a small odd denominator against a long numerator): one
    // remainder does what many subtractions would.
    b = (b >> 8) > a ? b % a : b - a;
    if (b == 0) break;
    b >>= __builtin_ctzll(b);
  }
  return a << shift;
}

}  // namespace

// The basis, and whether integers known to be small are read from two
// residues each.
void ElementValues::prepare(const RationalTensor& x, at::IntArrayRef sizes) {
  // A device's own copy of the standard basis, never written to, is known
  // without a transfer: the residues are then the only copy to the host.
  if (!x.primes.is_cpu() && x.primes._version() == 0 && x.primes.is_same(standard_primes(x.primes.device()))) {
    basis_ = crt_basis(kStandardPrimes.data(), kStandardPrimes.size());
  } else {
    const at::Tensor primes = host_int64(x.primes).reshape({-1}).contiguous();
    basis_ = crt_basis(primes.data_ptr<int64_t>(), static_cast<size_t>(primes.numel()));
  }
  reader_ = std::make_unique<FractionReader>(*basis_);
  const int64_t all_rows = sizes[0];
  pair_only_ = basis_->garner && all_rows >= 2 && bits_.num <= basis_->pair_bound && bits_.den <= basis_->pair_bound;
  rows_ = pair_only_ ? 2 : all_rows;
  slots_.assign(static_cast<size_t>(count_), Slot{});
}

ElementValues::ElementValues(const RationalTensor& x) : bits_(x.bits) {
  const auto sizes = at::infer_size(x.num.sizes(), x.denom.sizes());
  count_ = 1;
  for (size_t d = 1; d < sizes.size(); ++d) count_ *= sizes[d];
  if (count_ == 0) return;
  prepare(x, sizes);
  // Both halves, only the rows read, in one transfer.
  const at::Tensor both =
      host_int64(at::stack({x.num.expand(sizes).narrow(0, 0, rows_), x.denom.expand(sizes).narrow(0, 0, rows_)}))
          .contiguous();
  num_ = both[0].reshape({rows_, count_});
  den_ = both[1].reshape({rows_, count_});
  num_data_ = num_.data_ptr<int64_t>();
  den_data_ = den_.data_ptr<int64_t>();
}

ElementValues::ElementValues(const RationalTensor& x, const std::vector<int64_t>& positions)
    : bits_(x.bits), count_(static_cast<int64_t>(positions.size())) {
  if (count_ == 0) return;
  const auto sizes = at::infer_size(x.num.sizes(), x.denom.sizes());
  prepare(x, sizes);
  const int64_t all_rows = sizes[0];
  // Flat positions as one index per axis: broadcast halves are read where
  // they are, never written out whole.
  std::vector<std::vector<int64_t>> axes(sizes.size() - 1, std::vector<int64_t>(positions.size()));
  for (size_t k = 0; k < positions.size(); ++k) {
    int64_t rest = positions[k];
    for (size_t a = axes.size(); a-- > 0;) {
      axes[a][k] = rest % sizes[a + 1];
      rest /= sizes[a + 1];
    }
  }
  // Each half read where it lies.
  auto pick = [&](const at::Tensor& half) {
    const bool whole = half.dim() == static_cast<int64_t>(sizes.size()) && half.size(0) == all_rows;
    return kernels::pick_elements((whole ? half : half.expand(sizes)).narrow(0, 0, rows_), axes, count_);
  };
  num_ = pick(x.num);
  den_ = pick(x.denom);
  num_data_ = num_.data_ptr<int64_t>();
  den_data_ = den_.data_ptr<int64_t>();
}

bool ElementValues::exactly_zero(int64_t k) const {
  if (!in_range(bits_)) return false;
  const int64_t* n = num_data_ + k;
  const int64_t* d = den_data_ + k;
  bool zero = true, den_zero = true;
  for (int64_t r = 0; r < rows_; ++r) {
    zero = zero && n[r * count_] == 0;
    den_zero = den_zero && d[r * count_] == 0;
  }
  return zero && !den_zero;
}

mpq_srcptr ElementValues::value(int64_t k) {
  Slot& s = slot(k);
  if (s.kind < Kind::Small) return nullptr;
  if (s.kind == Kind::Small) {
    values_.emplace_back();
    mpq_ptr out = values_.back().get();
    mpz_set_si(mpq_numref(out), static_cast<long>(s.num));
    mpz_set_si(mpq_denref(out), static_cast<long>(s.den));
    mpq_canonicalize(out);
    s = {Kind::Big, 0, 0, static_cast<int64_t>(values_.size()) - 1};
  }
  return values_[static_cast<size_t>(s.index)].get();
}

int ElementValues::compare(int64_t i, int64_t j) {
  const Slot &a = slot(i), &b = slot(j);
  if (a.kind == Kind::Small && b.kind == Kind::Small) {
    const __int128 left = static_cast<__int128>(a.num) * b.den, right = static_cast<__int128>(b.num) * a.den;
    return (left > right) - (left < right);
  }
  return mpq_cmp(value(i), value(j));
}

ElementValues::Reading ElementValues::reading(int64_t k) {
  const Slot& s = slot(k);
  Reading out;
  switch (s.kind) {
    case Kind::Unread:
    case Kind::Unreadable:
      return out;
    case Kind::NoDenominator:
      out.readable = true;
      out.num = (s.num > 0) - (s.num < 0);
      out.den = 0;
      return out;
    case Kind::Small: {
      out.readable = true;
      const auto g = static_cast<int64_t>(binary_gcd(magnitude(s.num), static_cast<uint64_t>(s.den)));
      out.num = s.num / g;
      out.den = s.den / g;
      return out;
    }
    case Kind::Big:
      out.readable = true;
      out.small = false;
      out.big = values_[static_cast<size_t>(s.index)].get();
      return out;
  }
  return out;
}

ElementValues::Slot& ElementValues::slot(int64_t k) {
  Slot& s = slots_[static_cast<size_t>(k)];
  if (s.kind == Kind::Unread) s = read(k);
  return s;
}

ElementValues::Slot ElementValues::read(int64_t k) {
  // n / d (d != 0, both below 2^61 in magnitude) with a positive denominator.
  const auto small = [](int64_t n, int64_t d) {
    return d > 0 ? Slot{Kind::Small, n, d, -1} : Slot{Kind::Small, -n, -d, -1};
  };
  const auto no_denominator = [](int sign) { return Slot{Kind::NoDenominator, sign, 0, -1}; };
  if (exactly_zero(k)) return {Kind::Small, 0, 1, -1};  // 0/1 as made
  if (pair_only_) {
    const int64_t* n = num_data_ + k;
    const int64_t* d = den_data_ + k;
    const int64_t num = pair_integer(*basis_, n[0], n[count_]), den = pair_integer(*basis_, d[0], d[count_]);
    if (den == 0) return no_denominator((num > 0) - (num < 0));
    return small(num, den);
  }
  reader_->read(num_data_ + k, count_, den_data_ + k, count_,
                static_cast<size_t>(rows_), bits_);
  if (!reader_->readable()) return {Kind::Unreadable, 0, 1, -1};
  if (reader_->den().sign() == 0) return no_denominator(reader_->num().sign());
  if (reader_->small()) return small(reader_->small_num(), reader_->small_den());
  values_.emplace_back();
  mpq_ptr out = values_.back().get();
  mpz_set(mpq_numref(out), reader_->num().get());
  mpz_set(mpq_denref(out), reader_->den().get());
  mpq_canonicalize(out);
  return {Kind::Big, 0, 1, static_cast<int64_t>(values_.size()) - 1};
}

}  // namespace kalvex
