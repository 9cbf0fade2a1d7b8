#pragma once
// The determinant of a matrix of size 2..5 as a tensor of user shape [1].
#include "linalg/residue_chain.h"
#include "core/rational_tensor.h"

namespace kalvex::linalg {

// A value the chain rebuilt lives in the standard basis with its
// approximation; one it kept carries none.
RationalTensor det_tensor(const ChainValue& value, int64_t n, const RationalTensor& a,
                          const at::Tensor& standard_primes);

}  // namespace kalvex::linalg
