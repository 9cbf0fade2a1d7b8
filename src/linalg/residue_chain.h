#pragma once
// The determinant as a chain of one-element operations on residues, replayed
// step by step on the host: a/b * c/d and the sums of the operators, with
// `simplify` after the closed forms and after every accumulation of the
// expansion.  Used where entries have no value to compute with exactly (zero
// denominators), so that the stored residues are the chain's own.
#include "linalg/host_matrix.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"

namespace kalvex::linalg {

// What a determinant (or a solved component) leaves: its residues, and
// whether its last step rebuilt it from a reduced fraction, in which case the
// residues are those of that fraction in the standard basis and `quotient` is
// its approximation.
struct ChainResult {
  ResidueFraction residues;
  BitBounds bits;  // the sizes of its integers (NOTE: [Size bounds])
  bool rebuilt = false;
  double quotient = 0.0;
};

class ResidueChain {
 public:
  ResidueChain(const PrimeRow& primes, const CrtBasis& basis) : primes_(primes), reader_(basis) {}

  // `simplify` of a one-element value: the reduced fraction it reads back as,
  // rebuilt; left as it is (false) when that fraction has a zero denominator
  // or a quotient beyond the double range.
  bool simplify(ChainResult& x);

  // The determinant of the n x n matrix m, 2 <= n <= 5: closed forms up to
  // 3 x 3, cofactor expansion along the first row from an exact zero above.
  ChainResult det(const HostMatrix& m);

 private:
  ChainResult det_of(const std::vector<const ResidueFraction*>& m, int64_t n, const BitBounds& entry_bits);

  const PrimeRow& primes_;
  FractionReader reader_;
};

}  // namespace kalvex::linalg
