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

// A number operand as a constant of self's shape and device: a Python int or
// float as int(number)/1, any other numbers.Rational (fractions.Fraction) as
// its exact numerator/denominator.  Empty for anything else.
Ref number_operand(PyObject* self, PyObject* other);

// The second operand of an arithmetic operator or comparison: numbers as
// number_operand makes them, anything else as it is.
Ref operand(PyObject* self, PyObject* other);

}  // namespace kalvex::py
