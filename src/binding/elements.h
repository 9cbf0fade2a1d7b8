#pragma once
// Elements of an instance as Python objects.
#include <vector>

#include "binding/py.h"
#include "core/rational_tensor.h"
#include "reconstruct/element_values.h"

namespace kalvex::py {

// num, denom and primes of an instance, checked, with the sizes of its
// integers; halves of different shapes are broadcast to one (views).
RationalTensor checked_residues(PyObject* self);

// The same with the approximation, kept only where it has the user shape
// (elements are taken from it one for one).
RationalTensor checked_values(PyObject* self);

// An element as a fractions.Fraction: an Overflow error where it cannot be
// read, a ZeroDivision error for a zero denominator (as Fraction(n, 0)).
Ref element_object(const ElementValues::Reading& reading);

// Every element read, in row-major order (without the GIL for many).
std::vector<ElementValues::Reading> read_all(ElementValues& values);

}  // namespace kalvex::py
