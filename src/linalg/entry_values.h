#pragma once
// The exact values of a matrix's entries, read back from their residues.
#include <memory>
#include <vector>

#include "core/bigint.h"
#include "linalg/host_matrix.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"

namespace kalvex::linalg {

// A fraction with a positive denominator, not necessarily in lowest terms.
struct ExactFraction {
  BigInt num;
  BigInt den;
};

// The CRT constants of a matrix's primes (Value error for a basis that has
// none, such as repeated primes).
std::shared_ptr<const CrtBasis> basis_of(const PrimeRow& primes);

// Reads entries as the read-back does (NOTE: [Robust read-back]).
class EntryReader {
 public:
  explicit EntryReader(const CrtBasis& basis) : reader_(basis) {}

  // The value of one entry whose integers are bounded by `bits`; false when
  // it has none to compute with: a zero denominator, or no certain reading.
  bool read(const ResidueFraction& r, const BitBounds& bits, ExactFraction& out);

  // Every entry of m in row-major order into the first entries of `out`
  // (grown when short, never shrunk, so its integers keep their storage);
  // false at the first without a value.
  bool read_all(const HostMatrix& m, std::vector<ExactFraction>& out);

 private:
  FractionReader reader_;
};

}  // namespace kalvex::linalg
