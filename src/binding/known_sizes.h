#pragma once
// NOTE: [Size bounds across Python]
// An instance holds only its five slots, so the size bounds of a value
// (NOTE: [Size bounds]) travel with its residue tensors: a table keyed by a
// tensor's implementation remembers, for every residue tensor the module
// hands out, the bound of the integers it holds and the version torch had
// stamped on it then.  A residue tensor the table does not know, or one
// written in place since (its version moved on), is a raw record: its
// residues are brought into [0, p) and it is taken to be in range.  Entries
// hold weak references, so they keep no tensor alive and a dead tensor's
// address is never mistaken for a new one's; dead entries are swept as the
// table grows.  The table is only touched with the GIL held.
#include <ATen/core/Tensor.h>

#include "core/rational_tensor.h"

namespace kalvex::py {

// Records the bounds of a value about to be handed out.
void remember_bounds(const RationalTensor& value);

// Fills in x.bits from the table, bringing raw residue tensors into [0, p)
// first (modulo x.primes, or `basis` when x has none of its own).
void attach_bounds(RationalTensor& x, const at::Tensor& basis = at::Tensor());

// The same for one residue tensor (left as it is without `primes`).
struct Bound {
  int64_t upper, floor;
};
Bound attach_bound(at::Tensor& residues, const at::Tensor& primes);

}  // namespace kalvex::py
