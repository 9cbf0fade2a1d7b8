#pragma once
// What every matrix operation checks first.
#include "core/rational_tensor.h"

namespace kalvex::linalg {

// n for a matrix of user shape (n, n); anything else is a Value error with
// `message`.  Only the shape is looked at.
int64_t square_size(const RationalTensor& a, const char* message);

// The residue slots (core/checks.h), and one row per prime of the basis:
// the host evaluation reads the matrix against its 20 primes.
void check_matrix(const RationalTensor& a);

}  // namespace kalvex::linalg
