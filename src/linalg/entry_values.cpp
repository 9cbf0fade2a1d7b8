#include "linalg/entry_values.h"

namespace kalvex::linalg {

namespace {

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

bool EntryReader::read(const ResidueFraction& r, const BitBounds& bits, ExactFraction& out) {
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
