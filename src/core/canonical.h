#pragma once
// Residues a caller wrote: every kernel relies on residues in [0, p), so a
// record built from raw residues outside that range is brought there first,
// modulo its row's prime, as the read-back already reads it.
#include <ATen/core/Tensor.h>

namespace kalvex {

// `residues` with every entry taken modulo its row's prime: the tensor itself
// when all are in [0, p) already, else a reduced copy.  Residues that cannot
// be taken so (another dtype, rows that do not match a valid basis) are
// returned as they are, for the operation's own checks to refuse.
// `checked` says whether the range was looked at.
at::Tensor canonical_residues(const at::Tensor& residues, const at::Tensor& primes, bool& checked);

}  // namespace kalvex
