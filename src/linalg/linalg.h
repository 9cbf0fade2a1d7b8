#pragma once
// Linear algebra on one small square matrix of fractions: trace, determinant,
// inverse and the solution of a linear system.
//
// NOTE: [Determinants as one exact computation]
// A determinant of size 2 to 5 is a chain of one-element operations (closed
// forms up to 3 x 3, then a cofactor expansion along the first row with a
// reduction to lowest terms after every accumulation), and the inverse and
// solve build on it.  Each step that ends in a reduction leaves the residues
// of the reduced value, so the whole chain leaves those of the reduced exact
// result.  That result is computed once on the host: the entries are read
// back exactly, the matrix is eliminated fraction-free with GMP, and the
// value is stored afresh.  The residues are the chain's wherever the chain
// reads its values back in range, and the exact value's where it would not
// (a 3 x 3 determinant of float-captured entries already has a 780-bit
// unreduced numerator).  Where a step keeps unreduced residues (the 1 x 1
// determinant, the quotients the 2 x 2 inverse stores), they are formed from
// the entries' residues as the chain forms them.  Entries without a value
// (zero denominators, readings that may have overflowed) replay the chain on
// residues step by step (residue_chain.h).
#include <ATen/core/Tensor.h>

#include <functional>
#include <utility>

#include "core/rational_tensor.h"

namespace kalvex::linalg {

// The value of self.det() when a caller provides it (an overriding method);
// empty: computed here.
using DetSource = std::function<RationalTensor()>;

// The right-hand side of solve as two [P, n] residue tensors laid out as
// column i of the matrix receives them, with the sizes of its integers;
// asked for only once the determinant of the matrix is known and n >= 1.
struct Column {
  at::Tensor num, den;
  BitBounds bits;
};
using ColumnSource = std::function<Column(int64_t rows, int64_t n)>;

// Values made afresh hold the standard basis of the matrix's device.

// The exact sum of the diagonal, as the full sum of a vector of n elements.
RationalTensor trace(const RationalTensor& a);

// [1] for n = 1..5 (1 x 1: the entry itself, unreduced), [] zero for n = 0.
RationalTensor det(const RationalTensor& a);

// [n, n] for n = 1, 2.
RationalTensor inv(const RationalTensor& a, const DetSource& det_of_a = {});

// [n] for n = 1..4.
RationalTensor solve(const RationalTensor& a, const ColumnSource& b,
                     const DetSource& det_of_a = {});

}  // namespace kalvex::linalg
