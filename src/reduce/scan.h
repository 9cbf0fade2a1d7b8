#pragma once
// One pass over the residues of many fractions, enough to sum them at once
// when they share a denominator: n/d + m/d + ... = (n + m + ...)/d.
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include <vector>

#include "core/rational_tensor.h"

namespace kalvex {

struct RowScan {
  std::vector<int64_t> numerator_sums;  // per prime, modulo it
  std::vector<int64_t> denominators;    // per prime, the first element's
  bool common_denominator = true;       // every element has that denominator
  bool zero_denominator = false;        // some denominator residue is 0
};

// Entries of a basis the CPU scans can reduce by: every prime in [2, 2^31).
bool valid_basis(const at::Tensor& primes);

// The fractions num/den, [P, n] (n >= 1) against the basis `primes` [P].
RowScan scan_fractions(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes);

// The element-wise products x * y, without forming them, for two operands of
// one shape and at least two elements on the CPU (contiguous, with a valid
// basis); none otherwise.
c10::optional<RowScan> scan_products(const RationalTensor& x, const RationalTensor& y);

}  // namespace kalvex
