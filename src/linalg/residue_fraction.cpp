#include "linalg/residue_fraction.h"

#include <utility>

#include "core/kernels/residue_ops.h"

namespace kalvex::linalg {

namespace {

template <size_t... I>
std::array<Modulus, kNumPrimes> moduli_of(const ResidueRow& primes, std::index_sequence<I...>) {
  return {Modulus(primes[I])...};
}

// The element-wise operators' own formulas (core/kernels/residue_ops.h),
// prime by prime.
template <typename Op>
ResidueFraction combined(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  ResidueFraction out;
  for (int i = 0; i < kNumPrimes; ++i) {
    const ResidueTuple<2> r = Op{}(p.moduli[i], x.num[i], x.den[i], y.num[i], y.den[i]);
    out.num[i] = r.value[0];
    out.den[i] = r.value[1];
  }
  return out;
}

}  // namespace

PrimeRow::PrimeRow(const ResidueRow& values)
    : primes(values), moduli(moduli_of(values, std::make_index_sequence<kNumPrimes>())) {}

ResidueFraction add(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return combined<AddOp>(x, y, p);
}

ResidueFraction sub(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return combined<SubOp>(x, y, p);
}

ResidueFraction mul(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return combined<MulOp>(x, y, p);
}

ResidueFraction div(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p) {
  return combined<DivOp>(x, y, p);
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
