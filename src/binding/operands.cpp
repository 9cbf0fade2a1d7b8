#include "binding/operands.h"

#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/exception_boundary.h"
#include "binding/tensors.h"

namespace kalvex::py {

at::Tensor operand_primes(PyObject* other) {
  if (PyObject_TypeCheck(other, state().cls)) return tensor_field(other, Field::Primes);
  Ref value = Ref::steal(PyObject_GetAttrString(other, "primes"));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    return at::Tensor();
  }
  return is_tensor(value.get()) ? unpack_tensor(value.get()) : at::Tensor();
}

namespace {

bool is_rational(PyObject* obj) {
  static PyObject* rational = [] {
    Ref numbers = Ref::checked(PyImport_ImportModule("numbers"));
    return getattr(numbers.get(), "Rational").release();
  }();
  const int found = PyObject_IsInstance(obj, rational);
  if (found < 0) throw_error_set();
  return found == 1;
}

Ref constant_like(PyObject* self, const ExactInt& num, const ExactInt& den) {
  const std::vector<int64_t> shape = user_shape(self);
  const at::Device device = instance_device(self);
  prepare_device(device);
  return make_instance(exact_fraction(num, den, shape, device));
}

}  // namespace

Ref number_operand(PyObject* self, PyObject* other) {
  ExactInt one;
  one.value = 1;
  if (PyLong_Check(other) || PyFloat_Check(other)) {
    Ref integer = Ref::checked(PyNumber_Long(other));
    return constant_like(self, exact_int(integer.get()), one);
  }
  if (PyObject_TypeCheck(other, state().cls) || !is_rational(other)) return Ref();
  Ref num = Ref::checked(PyNumber_Index(getattr(other, "numerator").get()));
  Ref den = Ref::checked(PyNumber_Index(getattr(other, "denominator").get()));
  return constant_like(self, exact_int(num.get()), exact_int(den.get()));
}

Ref operand(PyObject* self, PyObject* other) {
  if (is_exact_instance(other)) return Ref::borrow(other);
  Ref constant = number_operand(self, other);
  return constant ? constant : Ref::borrow(other);
}

}  // namespace kalvex::py
