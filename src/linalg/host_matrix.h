#pragma once
// A small matrix of fractions on the host: the checks every matrix operation
// makes first, the copy of its residues to the host (every entry reduced into
// [0, p) modulo the primes of its row of the prime axis), and the results
// written back.
#include <ATen/core/Tensor.h>

#include <array>
#include <vector>

#include "core/rational_tensor.h"
#include "linalg/residue_fraction.h"

namespace kalvex::linalg {

// n for a matrix of user shape (n, n); anything else is a Value error with
// `message`.  Only the shape is looked at.
int64_t square_size(const RationalTensor& a, const char* message);

// The residue slots (core/checks.h), and one row per prime of the basis:
// the host evaluation reads the matrix against its 20 primes.
void check_matrix(const RationalTensor& a);

// The largest matrix evaluated on the host is 5 x 5.
constexpr int64_t kMaxEntries = 25;

struct HostMatrix {
  int64_t rows = 0;
  int64_t cols = 0;
  std::array<ResidueFraction, kMaxEntries> entries;  // row-major, rows * cols of them
  BitBounds bits;  // the sizes of every entry's integers (NOTE: [Size bounds])

  int64_t size() const { return rows * cols; }
  const ResidueFraction& at(int64_t r, int64_t c) const { return entries[static_cast<size_t>(r * cols + c)]; }
  ResidueFraction& at(int64_t r, int64_t c) { return entries[static_cast<size_t>(r * cols + c)]; }
};

// The residues of a square matrix and the primes of its rows.
struct HostOperands {
  HostMatrix matrix;
  PrimeRow primes;

  explicit HostOperands(const PrimeRow& p) : primes(p) {}
};

// The square matrix a ([P, n, n] residues, checked, P = N_PRIMES): one copy to
// the host for a matrix on a device.  Value error for primes outside [2, 2^31).
HostOperands copy_to_host(const RationalTensor& a);

// The n x 1 column held by [P, n] tensors of any integer or float dtype
// (converted as an indexed assignment converts them), on any device, whose
// integers are bounded by `bits`.
HostMatrix copy_column_to_host(const at::Tensor& num, const at::Tensor& den, int64_t n, const PrimeRow& primes,
                               const BitBounds& bits);

// The residues of a one-element value (the P entries of a [P, ...] tensor),
// reduced modulo `primes`.
ResidueFraction host_scalar(const at::Tensor& num, const at::Tensor& den, const PrimeRow& primes);

struct ResidueTensors {
  at::Tensor num, den;  // int64 [P, *shape]
};

// The elements (row-major over `shape`) as residue tensors on `device`:
// written in place on the host, one transfer for a device.
ResidueTensors residue_tensors(const std::vector<ResidueFraction>& elements, at::IntArrayRef shape,
                               at::Device device);

}  // namespace kalvex::linalg
