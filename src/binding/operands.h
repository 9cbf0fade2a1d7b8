#pragma once
// The prime basis of the second operand of a two-operand operation.
#include <ATen/core/Tensor.h>

#include "binding/py.h"

namespace kalvex::py {

// `primes` of an instance (a TypeError when it holds no tensor); for any
// other operand its `primes` tensor when it has one, else an undefined
// tensor: an operand that offers only num, denom and _approx is taken to
// share the basis of the operation's first operand.
at::Tensor operand_primes(PyObject* other);

}  // namespace kalvex::py
