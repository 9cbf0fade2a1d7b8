#pragma once
// Determinants and solutions of host matrices against one prime basis: exact
// where every entry has a value (NOTE: [Determinants as one exact
// computation]), the residue chain otherwise.
#include <memory>
#include <vector>

#include "linalg/fraction_free.h"
#include "linalg/residue_chain.h"

namespace kalvex::linalg {

class Evaluator {
 public:
  // This thread's evaluator for `primes`, made again when they change.  It
  // keeps its big integers between calls; nothing may call back into Python
  // while it is in use.
  static Evaluator& of(const PrimeRow& primes);

  // The determinant of m (1 <= n <= 5) as the chain leaves it.
  ChainResult det(const HostMatrix& m);

  // The exact solution of a x = b, each component's residues in lowest
  // terms, and the sizes of their integers; false when an entry has no value
  // or a is singular.
  bool solve(const HostMatrix& a, const HostMatrix& b, std::vector<ResidueFraction>& x, BitBounds& bits);

  // The stored form of a value that the chain reduced: its residues in the
  // standard basis and its approximation.
  static ChainResult rebuilt(const ExactFraction& value);
  static ResidueFraction rebuilt_residues(const ExactFraction& value);

  ResidueChain& chain() { return chain_; }

 private:
  explicit Evaluator(const PrimeRow& primes);

  PrimeRow primes_;
  std::shared_ptr<const CrtBasis> basis_;
  EntryReader reader_;
  ResidueChain chain_;
  FractionFree elimination_;
  std::vector<ExactFraction> a_values_, b_values_, x_values_;
  ExactFraction det_value_;
};

}  // namespace kalvex::linalg
