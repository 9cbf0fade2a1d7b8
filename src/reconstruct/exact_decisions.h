#pragma once
// NOTE: [Exact decisions]
// Residues carry no order, so signs and orders are decided on the float view
// (the approximation, or the view rebuilt from the residues) wherever it
// separates the values.  It does not where two approximations tie, where an
// approximation is 0 (a cancellation may have left any value there) or not
// finite; and a tensor of one element needs no view at all, its exact value
// costs one read.  There the exact values decide, each read back as
// to_rational reads it (NOTE: [Robust read-back]), so the cost grows with the
// number of undecided elements only.  An element known to be exactly 0 (its
// numerator residues are 0 and its integers in range) is decided without a
// read.  An element whose value cannot be read keeps the float decision.
#include <ATen/core/Tensor.h>
#include <c10/util/Optional.h>

#include <vector>

#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex {

enum class Order { Less, LessEqual, Greater, GreaterEqual };

// sign(view), with the undecided elements' signs taken from their exact
// values.  `view` is x's float view: x's elements in x's order, any shape.
at::Tensor decided_signs(const RationalTensor& x, const at::Tensor& view);

// The row-major position of the first largest (or smallest) element, as
// torch's argmax (argmin) of the view gives it where the view decides.
int64_t decided_extreme_index(const RationalTensor& x, const at::Tensor& view, bool largest);

// `compared`, torch's view_x op view_y (broadcast), with the pairs the
// views do not decide compared exactly.
at::Tensor decided_compare(at::Tensor compared, const RationalTensor& x, const at::Tensor& view_x,
                           const RationalTensor& y, const at::Tensor& view_y, Order op);

// What an element of a comparison with a bound stands for where it was
// replaced: `value` (a fraction) wherever `where` is true.
struct Replaced {
  at::Tensor where;
  BigInt num, den;
};

// view op bound for a double bound, the undecided elements compared exactly
// (with their replacement's value where they were replaced).
at::Tensor decided_against(const RationalTensor& x, const at::Tensor& view, double bound, Order op,
                           const Replaced* replaced = nullptr);

// torch's sort of `key` (x's float view in x's shape) along `dim`, with the
// runs of tied keys and the zero or non-finite keys ordered by their exact
// values (exactly equal values keep torch's order).  The keys returned are
// `key` gathered at the indices.
void decided_sort(const RationalTensor& x, const at::Tensor& key, int64_t dim, bool descending, at::Tensor& keys,
                  at::Tensor& indices);

// The elements of x whose view decides nothing (0 or not finite) and whose
// exact values can be read: their row-major positions, and those values as
// the nearest doubles.
struct ExactDoubles {
  std::vector<int64_t> positions;
  std::vector<double> values;
  bool complete = true;  // false where some undecided element may be left unread
};
ExactDoubles undecided_values(const RationalTensor& x, const at::Tensor& view);

}  // namespace kalvex
