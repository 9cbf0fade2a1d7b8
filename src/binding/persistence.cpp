// Pickling: an instance is rebuilt from its residue tensors together with the
// sizes of their integers (NOTE: [Size bounds across Python]).  Without them
// the copies would be raw records, taken to be in range, and a value beyond
// the range would read back as the noise its residues are.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/tensors.h"

namespace kalvex::py::body {

namespace {

int64_t bound_at(PyObject* bounds, Py_ssize_t i) { return int_argument(PyTuple_GET_ITEM(bounds, i)); }

}  // namespace

// ModularTensor itself: (cls._restore, (num, denom, primes, approx, bounds)).
// A subclass pickles as any object does, its own state included.
PyObject* reduce_ex(PyObject* const* args) {
  PyObject* self = args[0];
  if (!is_exact_instance(self)) {
    Ref base = getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__");
    return PyObject_CallFunctionObjArgs(base.get(), self, args[1], nullptr);
  }
  const RationalTensor x = load(self);
  Ref restore = getattr(reinterpret_cast<PyObject*>(state().cls), "_restore");
  Ref num = wrap_tensor(x.num), denom = wrap_tensor(x.denom), primes = wrap_tensor(x.primes);
  Ref approx = x.approx ? wrap_tensor(*x.approx) : Ref::borrow(Py_None);
  Ref bounds = Ref::checked(Py_BuildValue("(LLLL)", static_cast<long long>(x.bits.num), static_cast<long long>(x.bits.den),
                                          static_cast<long long>(x.bits.num_floor),
                                          static_cast<long long>(x.bits.den_floor)));
  Ref fields = Ref::checked(PyTuple_Pack(5, num.get(), denom.get(), primes.get(), approx.get(), bounds.get()));
  return PyTuple_Pack(2, restore.get(), fields.get());
}

PyObject* restore(PyObject* const* args) {
  PyObject* bounds = args[5];
  for (int i = 1; i <= 3; ++i)
    if (!is_tensor(args[i])) raise(PyExc_TypeError, "_restore() expects residue tensors");
  if (args[4] != Py_None && !is_tensor(args[4])) raise(PyExc_TypeError, "_restore() expects an approximation or None");
  if (!PyTuple_Check(bounds) || PyTuple_GET_SIZE(bounds) != 4) raise(PyExc_TypeError, "_restore() expects four bounds");
  RationalTensor value;
  value.num = unpack_tensor(args[1]);
  value.denom = unpack_tensor(args[2]);
  value.primes = unpack_tensor(args[3]);
  if (args[4] != Py_None) value.approx = unpack_tensor(args[4]);
  value.bits = {bound_at(bounds, 0), bound_at(bounds, 1), bound_at(bounds, 2), bound_at(bounds, 3)};
  return make_instance_of(args[0], value).release();
}

}  // namespace kalvex::py::body
