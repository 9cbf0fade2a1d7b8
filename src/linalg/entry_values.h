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

// Reads entries as the read-back does (NOTE: [Robust read-back]).  Values
// whose residues are those of two small integers (float-captured entries:
// a 64-bit numerator over 2^52) are recognised without a full reconstruction.
class EntryReader {
 public:
  EntryReader(const PrimeRow& primes, const CrtBasis& basis);

  // The value of one entry whose integers are bounded by `bits`; false when
  // it has none to compute with: a zero denominator, or no certain reading.
  bool read(const ResidueFraction& r, const BitBounds& bits, ExactFraction& out);

  // Every entry of m in row-major order into the first entries of `out`
  // (grown when short, never shrunk, so its integers keep their storage);
  // false at the first without a value.
  bool read_all(const HostMatrix& m, std::vector<ExactFraction>& out);

 private:
  bool small_integer(const ResidueRow& r, int64_t& out) const;
  bool read_small(const ResidueFraction& r, ExactFraction& out);

  const PrimeRow& primes_;
  FractionReader reader_;
  bool garner_ = false;  // the first two primes are coprime
  int64_t inv01_ = 0;    // p0^-1 mod p1
  int64_t p01_ = 0;      // p0 * p1 (below 2^62)
  std::vector<double> inverse_;
  // The last denominator read the short way: entries of one matrix usually share it.
  ResidueRow last_den_{};
  int64_t last_den_value_ = 0;
  bool has_last_den_ = false;
};

}  // namespace kalvex::linalg
