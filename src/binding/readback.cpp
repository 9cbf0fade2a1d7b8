// Reading values back: exact fractions, simplified tensors, decimals, floats.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/tensors.h"
#include "reconstruct/float_view.h"
#include "reconstruct/scalar.h"

namespace kalvex::py::body {

namespace {

// The exact value of a one-element instance.  The shape is tested before any
// residue is read; the approximation slot is not read at all.
Fraction read_instance(PyObject* self) {
  check_scalar_shape(user_shape(self));
  return read_scalar(load_residues(self));
}

// The instance rebuilt from its reduced fraction, or self when there is none
// to rebuild.  The approximation slot is not read: the rebuilt tensor gets its own.
Ref rebuilt_or_self(PyObject* self) {
  const std::vector<int64_t> shape = user_shape(self);
  check_scalar_shape(shape);
  const RationalTensor t = load_residues(self);
  const at::Device device = instance_device(self);
  prepare_device(device);
  c10::optional<RationalTensor> rebuilt = simplified(t, shape, device);
  if (!rebuilt) return Ref::borrow(self);
  return make_instance(*rebuilt);
}

}  // namespace

PyObject* to_rational(PyObject* const* args) {
  const Fraction value = read_instance(args[0]);
  Ref num = from_bigint(value.num);
  Ref den = from_bigint(value.den);
  return Ref::checked(PyTuple_Pack(2, num.get(), den.get())).release();
}

// Never raises: whatever fails (a refused shape, a zero denominator, an error
// from torch or from Python) leaves the caller with self, the same object.
PyObject* simplify(PyObject* const* args) {
  PyObject* self = args[0];
  try {
    return rebuilt_or_self(self).release();
  } catch (...) {
    PyErr_Clear();
    return Ref::borrow(self).release();
  }
}

PyObject* to_decimal(PyObject* const* args) {
  // The precision is set first and stays set, even when the read fails.
  Ref decimal = Ref::checked(PyImport_ImportModule("decimal"));
  Ref getcontext = getattr(decimal.get(), "getcontext");
  Ref context = Ref::checked(PyObject_CallNoArgs(getcontext.get()));
  Ref precision = Ref::checked(PyLong_FromLong(100));
  if (PyObject_SetAttrString(context.get(), "prec", precision.get()) < 0) throw_error_set();

  const Fraction value = read_instance(args[0]);
  Ref decimal_type = getattr(decimal.get(), "Decimal");
  Ref num = from_bigint(value.num);
  Ref den = from_bigint(value.den);
  Ref num_dec = Ref::checked(PyObject_CallOneArg(decimal_type.get(), num.get()));
  Ref den_dec = Ref::checked(PyObject_CallOneArg(decimal_type.get(), den.get()));
  return PyNumber_TrueDivide(num_dec.get(), den_dec.get());
}

PyObject* to_float(PyObject* const* args) {
  PyObject* self = args[0];
  Ref approx = read_field(self, Field::Approx);
  if (approx.get() != Py_None) return approx.release();
  const std::vector<int64_t> shape = user_shape(self);
  const at::Device device = instance_device(self);
  RationalTensor t;
  t.primes = tensor_field(self, Field::Primes);
  t.num = tensor_field(self, Field::Num);
  t.denom = tensor_field(self, Field::Denom);
  attach_bounds(t);
  return wrap_tensor(float_view(t, shape, device)).release();
}

}  // namespace kalvex::py::body
