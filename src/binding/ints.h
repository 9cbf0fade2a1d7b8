#pragma once
// Python int <-> host integers.
#include "binding/py.h"
#include "core/bigint.h"
#include "core/rational_tensor.h"

namespace kalvex::py {

// An exact Python int, either as a machine integer or, when it does not fit,
// as a big integer.
struct ExactInt {
  bool small = true;
  int64_t value = 0;
  BigInt big;
};

ExactInt exact_int(PyObject* obj);  // obj must be a Python int (or subclass)
BigInt to_bigint(const ExactInt& v);

// An int argument (or any object with __index__) as int64; Python's
// OverflowError beyond it.
int64_t int_argument(PyObject* obj);

// An int (bool included) or any other numbers.Rational (fractions.Fraction)
// as its exact numerator and denominator; false for anything else.
bool rational_parts(PyObject* obj, ExactInt& num, ExactInt& den);

// num/denom filled into `shape` on `device` in the standard basis: machine
// integers take the short path.
RationalTensor exact_fraction(const ExactInt& num, const ExactInt& denom, at::IntArrayRef shape,
                              const at::Device& device);
Ref from_bigint(const BigInt& value);
Ref from_mpz(mpz_srcptr value);

// fractions.Fraction(num, den) for num / den already in lowest terms with
// den > 0, made without renormalising.
Ref make_fraction(Ref num, Ref den);

}  // namespace kalvex::py
