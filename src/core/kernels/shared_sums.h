#pragma once
// The launcher of sums read straight to the host: one pass over the residues
// of many fractions, enough to sum them at once when they share a
// denominator, n/d + m/d + ... = (n + m + ...)/d.  The CPU scans the rows in
// vector loops; other devices use a few whole-tensor operations.
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include <vector>

#include "core/rational_tensor.h"

namespace kalvex::kernels {

struct RowScan {
  std::vector<int64_t> numerator_sums;  // per prime, modulo it
  std::vector<int64_t> denominators;    // per prime, the first element's
  bool common_denominator = true;       // every element has that denominator
  bool zero_in_every_row = false;       // every row holds a zero denominator residue
};

// Whether some element of den [P, n] is 0 modulo every prime: a denominator
// made zero by a division by an exact zero.  Only possible where the scan
// found zero_in_every_row.
bool has_zero_denominator(const at::Tensor& den);

// The fractions num/den, [P, n] (n >= 1) against the basis `primes` [P].
RowScan scan_fractions(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes);

// The element-wise products x * y, without forming them, for two operands of
// one shape and at least two elements in the host layout of the standard
// number of primes (core/paths.h); none otherwise.
c10::optional<RowScan> scan_products(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex::kernels
