#pragma once
// Clamping to exact bounds decided on the float view.
#include <c10/util/Optional.h>

#include <functional>

#include "core/rational_tensor.h"

namespace kalvex {

// x clamped to [lo, hi]; either bound may be absent.  Each bound b is stored
// exactly as trunc(b * 10000) / 10000 (Value and Overflow errors for NaN and
// infinite b, as the host's int() gives them) and replaces the elements
// strictly beyond the float bound, decided on the float view where it
// decides and on the exact values elsewhere (NOTE: [Exact decisions]); the
// lower bound is applied first and the upper one decides on the values left
// by it (the stored lower bound, where it replaced an element).  Replaced
// elements take the quantised residues and, in the approximation, the float
// bound itself.  None when nothing is replaced: the caller returns x itself.
//
// `view` is x's float view in x's shape (see sign_ops.h); `rebuilt_view`
// gives the view rebuilt from x's residues, needed only when x has no
// approximation and both bounds replace something.  The bounds are stored
// in the standard basis of x's device.
c10::optional<RationalTensor> clamp(const RationalTensor& x, const at::Tensor& view, c10::optional<double> lo,
                                    c10::optional<double> hi, const std::function<at::Tensor()>& rebuilt_view);

}  // namespace kalvex
