// The record: __init__, shape, repr, and the class-method constructors.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/tensors.h"
#include "core/construct.h"
#include "core/standard_basis.h"

namespace kalvex::py::body {

namespace {

std::vector<int64_t> shape_of(PyObject* tuple) {
  std::vector<int64_t> shape;
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  shape.reserve(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    shape.push_back(int_argument(PyTuple_GET_ITEM(tuple, i)));
  }
  return shape;
}

PyObject* fraction(PyObject* cls, PyObject* num, PyObject* denom, PyObject* shape, PyObject* device_str) {
  const at::Device device = parse_device(device_str);
  const std::vector<int64_t> sizes = shape_of(shape);
  return make_instance_of(cls, exact_fraction(exact_int(num), exact_int(denom), sizes, device)).release();
}

// The residues stored in `field` taken modulo their primes when some lie
// outside [0, p): a record is canonical from the start.  A slot the check
// cannot read is left for the operations to refuse.
void store_canonical(PyObject* self, Field field, const at::Tensor& primes) {
  Ref value = read_field(self, field);
  if (!is_tensor(value.get())) return;
  at::Tensor residues = unpack_tensor(value.get());
  try {
    attach_bound(residues, primes);
  } catch (const std::exception&) {
    return;
  }
  if (!residues.is_same(unpack_tensor(value.get()))) write_field(self, field, wrap_tensor(residues).get());
}

// cls.<method>(args...): a subclass may override the constructor it delegates to.
PyObject* delegate(PyObject* cls, const char* method, std::initializer_list<PyObject*> args) {
  return call_method(cls, method, args).release();
}

}  // namespace

PyObject* init(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* num = args[1];
  write_field(self, Field::Num, num);
  write_field(self, Field::Denom, args[2]);
  Ref device = getattr(num, "device");
  write_field(self, Field::Device, device.get());
  PyObject* primes = args[3];
  Ref moved;
  if (primes == Py_None || primes == state().primes) {
    moved = wrap_tensor(standard_primes(device_of_object(device.get())));
  } else if (is_tensor(primes)) {
    moved = wrap_tensor(unpack_tensor(primes).to(device_of_object(device.get())));
  } else {
    Ref to = getattr(primes, "to");
    moved = Ref::checked(PyObject_CallOneArg(to.get(), device.get()));
  }
  write_field(self, Field::Primes, moved.get());
  write_field(self, Field::Approx, args[4]);
  if (is_tensor(moved.get())) {
    const at::Tensor primes = unpack_tensor(moved.get());
    store_canonical(self, Field::Num, primes);
    store_canonical(self, Field::Denom, primes);
  }
  Py_RETURN_NONE;
}

PyObject* shape(PyObject* const* args) {
  Ref num = read_field(args[0], Field::Num);
  Ref sizes = getattr(num.get(), "shape");
  return Ref::checked(PySequence_GetSlice(sizes.get(), 1, PY_SSIZE_T_MAX)).release();
}

PyObject* repr(PyObject* const* args) {
  Ref shape = getattr(args[0], "shape");
  Ref device = read_field(args[0], Field::Device);
  return PyUnicode_FromFormat("ModularTensor(shape=%S, device=%S)", shape.get(), device.get());
}

PyObject* from_tensor(PyObject* const* args) {
  PyObject* cls = args[0];
  PyObject* x = args[1];
  const at::Device device = parse_device(args[2]);
  at::Tensor moved;
  if (is_tensor(x)) {
    moved = unpack_tensor(x).to(device);
  } else {
    Ref to = getattr(x, "to");
    Ref result = Ref::checked(PyObject_CallOneArg(to.get(), args[2]));
    if (!is_tensor(result.get()))
      raise(PyExc_TypeError, "from_tensor() expects a torch.Tensor, got %.200s", Py_TYPE(result.get())->tp_name);
    moved = unpack_tensor(result.get());
  }
  const RationalTensor value = without_gil(moved.numel() > kReleaseGilElements,
      [&] { return kalvex::from_tensor(moved); });
  return make_instance_of(cls, value).release();
}

PyObject* from_fraction(PyObject* const* args) { return fraction(args[0], args[1], args[2], args[3], args[4]); }

PyObject* from_int(PyObject* const* args) {
  Ref one = Ref::checked(PyLong_FromLong(1));
  if (!is_exact_class(args[0])) return delegate(args[0], "from_fraction", {args[1], one.get(), args[2], args[3]});
  return fraction(args[0], args[1], one.get(), args[2], args[3]);
}

static PyObject* filled_with(PyObject* const* args, long value) {
  Ref v = Ref::checked(PyLong_FromLong(value));
  if (!is_exact_class(args[0])) return delegate(args[0], "from_int", {v.get(), args[1], args[2]});
  Ref one = Ref::checked(PyLong_FromLong(1));
  return fraction(args[0], v.get(), one.get(), args[1], args[2]);
}

PyObject* zeros(PyObject* const* args) { return filled_with(args, 0); }

PyObject* ones(PyObject* const* args) { return filled_with(args, 1); }

}  // namespace kalvex::py::body
