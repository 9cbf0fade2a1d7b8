#pragma once
// User axes and residue axes.  A user axis d of a tensor of user rank r is
// checked and wrapped by torch's own rule for a tensor of rank r (a scalar
// accepts -1 and 0, as a zero-dimensional torch tensor does), with torch's
// IndexError when it is out of range.  The residue axis is then the wrapped
// axis plus one, past the prime axis: a negative d never reaches the prime
// axis, whatever its value.
#include <c10/core/WrapDimMinimal.h>

#include <cstdint>

#include "core/rational_tensor.h"

namespace kalvex {

inline int64_t user_rank(const RationalTensor& x) { return static_cast<int64_t>(x.shape().size()); }

// The user axis `dim` of a tensor of user rank `rank`, in [0, max(rank, 1)).
inline int64_t user_axis(int64_t dim, int64_t rank) { return c10::maybe_wrap_dim(dim, rank, /*wrap_scalar=*/true); }

// Its residue axis, for rank >= 1.
inline int64_t residue_axis(int64_t dim, int64_t rank) { return user_axis(dim, rank) + 1; }

}  // namespace kalvex
