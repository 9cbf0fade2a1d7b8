#include "linalg/residue_fraction.h"

#include <utility>

namespace kalvex::linalg {

namespace {

template <size_t... I>
std::array<Modulus, kNumPrimes> moduli_of(const ResidueRow& primes, std::index_sequence<I...>) {
  return {Modulus(primes[I])...};
}

// Each product is reduced before it is added, as the operators do, so the
// results are those of the device formulas for residues in [0, p).
template <typename Combine>
ResidueRow cross(const ResidueRow& a, const ResidueRow& d, const ResidueRow& b, const ResidueRow& c, const PrimeRow& p,
                 Combine combine) {
  ResidueRow out;
  for (int i = 0; i < kNumPrimes; ++i) {
    const Modulus& m = p.moduli[i];
    const double ad = mul_mod_d(as_double(a[i]), as_double(d[i]), m);
    const double bc = mul_mod_d(as_double(b[i]), as_double(c[i]), m);
    out[i] = as_residue(combine(ad, bc, m));
  }
  return out;
}

ResidueRow product(const ResidueRow& a, const ResidueRow& b, const PrimeRow& p) {
  ResidueRow out;
  for (int i = 0; i < kNumPrimes; ++i) out[i] = mul_mod(a[i], b[i], p.moduli[i]);
  return out;
}

}  // namespace

PrimeRow::PrimeRow(const ResidueRow& values)
    : primes(values), moduli(moduli_of(values, std::make_index_sequence<kNumPrimes>())) {}

ResidueFraction add(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return {cross(x.num, y.den, x.den, y.num, p, add_mod_d), product(x.den, y.den, p)};
}

ResidueFraction sub(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return {cross(x.num, y.den, x.den, y.num, p, sub_mod_d), product(x.den, y.den, p)};
}

ResidueFraction mul(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return {product(x.num, y.num, p), product(x.den, y.den, p)};
}

ResidueFraction div(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return {product(x.num, y.den, p), product(x.den, y.num, p)};
}

ResidueRow negated(const ResidueRow& r, const PrimeRow& p) {
  ResidueRow out;
  for (int i = 0; i < kNumPrimes; ++i) out[i] = neg_mod(r[i], p.moduli[i]);
  return out;
}

ResidueFraction exact_zero() {
  ResidueFraction z;
  z.num.fill(0);
  z.den.fill(1);
  return z;
}

}  // namespace kalvex::linalg
