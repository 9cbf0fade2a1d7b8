#pragma once
// Integer arguments of the series, statistics and running values, already
// checked to be exact Python ints, as machine integers; and Newton's root,
// shared by sqrt_newton, std and norm.
#include <cstdint>

#include "binding/py.h"

namespace kalvex::py {

// A count of terms or steps: below the int64 range it counts as none, above
// it OverflowError (no count that large can run).
int64_t count_argument(PyObject* value);

// A bound: clamped into the int64 range.
int64_t saturated_argument(PyObject* value);

// sqrt_newton(a, max_iterations, max_bits) as a new instance.
Ref newton_root(PyObject* a, int64_t max_iterations, int64_t max_bits);

// The defaults of sqrt_newton, which std and norm(2) use.
constexpr int64_t kNewtonIterations = 10;
constexpr int64_t kNewtonBits = 500;

}  // namespace kalvex::py
