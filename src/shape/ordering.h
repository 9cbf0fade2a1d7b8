#pragma once
// Ordering by the float view.  Residues carry no order: torch sorts or
// selects on a float key of the user shape, and the positions it returns pick
// the exact residues, copied unchanged.  Where the key does not separate the
// values (ties, keys that are 0 or not finite) the exact values order them
// (NOTE: [Exact decisions]); exactly equal values keep torch's order.
#include "core/rational_tensor.h"

namespace kalvex {

struct Ordered {
  RationalTensor values;  // the picked elements, their keys as approximation
  at::Tensor indices;     // int64 positions along the axis, as torch returns them
};

// The key that orders x: its approximation, else its float view rebuilt once
// from the residues (any layout), shaped like x (a scalar's key has shape ()).
at::Tensor order_key(const RationalTensor& x);

// torch's sort, argsort and topk of `key` (the user axis `dim` as torch reads
// it on the key); sort and topk pick the residues at the positions returned.
// A scalar follows torch's rules for zero-dimensional tensors: its one element.
Ordered sort(const RationalTensor& x, const at::Tensor& key, int64_t dim, bool descending);
at::Tensor argsort(const RationalTensor& x, const at::Tensor& key, int64_t dim, bool descending);
Ordered topk(const RationalTensor& x, const at::Tensor& key, int64_t k, int64_t dim, bool largest);

}  // namespace kalvex
