#pragma once
// The value a one-element input holds, read once for a host chain.
#include <c10/util/Optional.h>

#include "core/rational_tensor.h"
#include "functional/chain_value.h"

namespace kalvex {

// The reduced value of the one-element tensor x (value_of: the one read-back
// rule); none when it has no value to compute with, so that the caller
// follows the step-by-step chain.
c10::optional<ChainValue> input_value(const RationalTensor& x);

}  // namespace kalvex
