#include "binding/operands.h"

#include "binding/instance.h"
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

}  // namespace kalvex::py
