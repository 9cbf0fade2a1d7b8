#pragma once
// One fraction held as its residues on the host, and the residue formulas of
// the element-wise operators applied to it one element at a time.  Linear
// algebra replays its chains of operations with these where an exact
// evaluation has no value to start from (zero denominators), and forms the
// unreduced quotients that the inverse stores.
#include <array>
#include <cstdint>

#include "core/basis.h"
#include "core/modmath.h"

namespace kalvex::linalg {

using ResidueRow = std::array<int64_t, kNumPrimes>;

// Left uninitialised when default-constructed: matrices of them are filled
// entry by entry.
struct ResidueFraction {
  ResidueRow num;
  ResidueRow den;
};

// The primes along a matrix's prime axis, each in [2, 2^31), with the
// constants of their modular products.
struct PrimeRow {
  ResidueRow primes;
  std::array<Modulus, kNumPrimes> moduli;

  explicit PrimeRow(const ResidueRow& values);
};

// a/b op c/d with the operators' formulas: (ad + bc)/bd, (ad - bc)/bd, ac/bd, ad/bc.
ResidueFraction add(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p);
ResidueFraction sub(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p);
ResidueFraction mul(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p);
ResidueFraction div(const ResidueFraction& x, const ResidueFraction& y, const PrimeRow& p);

// -r modulo each prime (0 stays 0).
ResidueRow negated(const ResidueRow& r, const PrimeRow& p);

// The exact 0 as from_int(0) stores it: numerator 0, denominator 1.
ResidueFraction exact_zero();

}  // namespace kalvex::linalg
