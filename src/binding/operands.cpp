#include "binding/operands.h"

#include "binding/instance.h"
#include "binding/ints.h"
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

Ref constant_like(PyObject* self, const ExactInt& num, const ExactInt& den) {
  const std::vector<int64_t> shape = user_shape(self);
  const at::Device device = instance_device(self);
  prepare_device(device);
  return make_instance(exact_fraction(num, den, shape, device));
}

}  // namespace

Ref number_operand(PyObject* self, PyObject* other) {
  ExactInt num, den;
  if (PyFloat_Check(other)) {
    Ref integer = Ref::checked(PyNumber_Long(other));
    den.value = 1;
    return constant_like(self, exact_int(integer.get()), den);
  }
  if (PyObject_TypeCheck(other, state().cls) || !rational_parts(other, num, den)) return Ref();
  return constant_like(self, num, den);
}

Ref operand(PyObject* self, PyObject* other) {
  if (is_exact_instance(other)) return Ref::borrow(other);
  Ref constant = number_operand(self, other);
  return constant ? constant : Ref::borrow(other);
}

}  // namespace kalvex::py
