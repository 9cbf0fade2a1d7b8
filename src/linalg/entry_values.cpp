#include "linalg/entry_values.h"
#include "core/host_mod.h"

#include <cstring>

namespace kalvex::linalg {

namespace {

void set_int64(mpz_ptr out, int64_t value) {
  if (sizeof(long) >= sizeof(int64_t)) {
    mpz_set_si(out, static_cast<long>(value));
  } else {
    BigInt v = BigInt::from_int64(value);
    mpz_swap(out, v.get());
  }
}

void make_denominator_positive(ExactFraction& f) {
  if (f.den.sign() < 0) {
    mpz_neg(f.num.get(), f.num.get());
    mpz_neg(f.den.get(), f.den.get());
  }
}

}  // namespace

std::shared_ptr<const CrtBasis> basis_of(const PrimeRow& primes) {
  return crt_basis(primes.primes.data(), static_cast<size_t>(kNumPrimes));
}

EntryReader::EntryReader(const PrimeRow& primes, const CrtBasis& basis)
    : primes_(primes), reader_(basis) {
  const int64_t p0 = primes.primes[0], p1 = primes.primes[1];
  inv01_ = inverse_mod(p0 % p1, p1);
  // The residue checks below estimate quotients below 2^62 / p in double
  // precision, within one of the floor only for primes above 2^20.
  garner_ = inv01_ != 0;
  for (int64_t p : primes.primes) garner_ = garner_ && p > (int64_t{1} << 20);
  p01_ = p0 * p1;
  inverse_.resize(kNumPrimes);
  for (int i = 0; i < kNumPrimes; ++i) inverse_[i] = 1.0 / static_cast<double>(primes.primes[i]);
}

// The signed CRT reading of r when it is an integer v with |v| < p0 p1 / 2:
// Garner's step on the first two primes gives the only candidate of that
// size, which must then agree with every other residue.
bool EntryReader::small_integer(const ResidueRow& r, int64_t& out) const {
  const int64_t p0 = primes_.primes[0], p1 = primes_.primes[1];
  int64_t t = r[1] - r[0] % p1;
  if (t < 0) t += p1;
  t = mul_mod(t, inv01_, primes_.moduli[1]);
  int64_t v = r[0] + p0 * t;  // in [0, p0 p1)
  if (v > p01_ / 2) v -= p01_;
  const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  const double dmag = static_cast<double>(mag);
  for (int i = 2; i < kNumPrimes; ++i) {
    // mag < 2^62 and p > 2^20: the quotient estimate is within one of the floor.
    const int64_t p = primes_.primes[i];
    const auto q = static_cast<uint64_t>(dmag * inverse_[i]);
    auto m = static_cast<int64_t>(mag - q * static_cast<uint64_t>(p));
    m += (m < 0) ? p : 0;
    m -= (m >= p) ? p : 0;
    if (v < 0 && m != 0) m = p - m;
    if (m != r[i]) return false;
  }
  out = v;
  return true;
}

bool EntryReader::read_small(const ResidueFraction& r, ExactFraction& out) {
  if (!garner_) return false;
  int64_t den = 0;
  if (has_last_den_ && std::memcmp(r.den.data(), last_den_.data(), sizeof(ResidueRow)) == 0) {
    den = last_den_value_;
  } else {
    if (!small_integer(r.den, den)) return false;
    last_den_ = r.den;
    last_den_value_ = den;
    has_last_den_ = true;
  }
  int64_t num = 0;
  if (!small_integer(r.num, num)) return false;
  if (den < 0) {  // |num|, |den| < 2^62: negation cannot overflow
    num = -num;
    den = -den;
  }
  set_int64(out.num.get(), num);
  set_int64(out.den.get(), den);
  return true;
}

bool EntryReader::read(const ResidueFraction& r, const BitBounds& bits, ExactFraction& out) {
  if (read_small(r, out)) return out.den.sign() != 0;
  reader_.read(r.num.data(), 1, r.den.data(), 1, kNumPrimes, bits);
  if (!reader_.readable() || reader_.den().sign() == 0) return false;
  mpz_set(out.num.get(), reader_.num().get());
  mpz_set(out.den.get(), reader_.den().get());
  make_denominator_positive(out);
  return true;
}

bool EntryReader::read_all(const HostMatrix& m, std::vector<ExactFraction>& out) {
  const auto count = static_cast<size_t>(m.size());
  if (out.size() < count) out.resize(count);
  for (size_t k = 0; k < count; ++k) {
    if (!read(m.entries[k], m.bits, out[k])) return false;
  }
  return true;
}

}  // namespace kalvex::linalg
