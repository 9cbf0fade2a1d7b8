// Indexing, shape operations and ordering: argument forms as Python sees
// them (reshape's shapes, index tensors, torch's flags), then the core.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/tensors.h"
#include "core/basis.h"
#include "shape/indexing.h"
#include "shape/ordering.h"
#include "shape/views.h"

namespace kalvex::py::body {

namespace {

PyObject* instance(const RationalTensor& value) { return make_instance(value).release(); }

PyObject* same_object(PyObject* self) {
  Py_INCREF(self);
  return self;
}

// index.to(self.device): a torch tensor moves in C++; anything else is asked
// through its own `to`, which must give a tensor.
at::Tensor index_on_device(PyObject* self, const char* method, PyObject* index) {
  if (is_tensor(index)) return unpack_tensor(index).to(instance_device(self));
  Ref device = read_field(self, Field::Device);
  Ref to = getattr(index, "to");
  Ref moved = Ref::checked(PyObject_CallOneArg(to.get(), device.get()));
  if (!is_tensor(moved.get()))
    raise(PyExc_TypeError, "%s(): argument 'index' must be Tensor, not %.200s", method, Py_TYPE(moved.get())->tp_name);
  return unpack_tensor(moved.get());
}

// Entries of a shape torch parses itself (bools, objects with __index__,
// one-element integer tensors, and what it refuses with its own message):
// the residue reshape is asked of torch, and its result names the user shape.
std::vector<int64_t> shape_parsed_by_torch(PyObject* self, PyObject* items) {
  Ref num = read_field(self, Field::Num);
  const Py_ssize_t n = PyTuple_GET_SIZE(items);
  Ref call_args = Ref::checked(PyTuple_New(n + 1));
  PyTuple_SET_ITEM(call_args.get(), 0, Ref::checked(PyLong_FromLongLong(kNumPrimes)).release());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items, i);
    Py_INCREF(item);
    PyTuple_SET_ITEM(call_args.get(), i + 1, item);
  }
  Ref reshape = getattr(num.get(), "reshape");
  Ref reshaped = Ref::checked(PyObject_Call(reshape.get(), call_args.get(), nullptr));
  if (!is_tensor(reshaped.get()))
    raise(PyExc_TypeError, "reshape of the residues gave %.200s, not a tensor", Py_TYPE(reshaped.get())->tp_name);
  const auto sizes = unpack_tensor(reshaped.get()).sizes();
  return std::vector<int64_t>(sizes.begin() + 1, sizes.end());
}

// torch's sort, argsort and topk take only a tensor key and a bool flag.  For
// anything else the torch function itself is called with the same arguments,
// so that its own error is raised.
bool torch_flag(PyObject* key, const char* function, PyObject* k, PyObject* dim, const char* flag_name,
                PyObject* flag) {
  if (is_tensor(key) && PyBool_Check(flag)) return flag == Py_True;
  Ref torch = Ref::checked(PyImport_ImportModule("torch"));
  Ref fn = getattr(torch.get(), function);
  Ref args = Ref::checked(k != nullptr ? PyTuple_Pack(2, key, k) : PyTuple_Pack(1, key));
  Ref kwargs = Ref::checked(Py_BuildValue("{sOsO}", "dim", dim, flag_name, flag));
  Ref::checked(PyObject_Call(fn.get(), args.get(), kwargs.get()));
  raise(PyExc_TypeError, "%s() orders a torch.Tensor key with a bool '%s', got %.200s and %.200s", function, flag_name,
        Py_TYPE(key)->tp_name, Py_TYPE(flag)->tp_name);
}

// The key of self: the core's for a ModularTensor, self.to_float() for a
// subclass, which may define its own.
Ref order_key_object(PyObject* self, const RationalTensor& x) {
  if (is_exact_instance(self)) {
    const at::Tensor key = without_gil(!x.approx && x.num.numel() > kReleaseGilElements, [&] { return order_key(x); });
    return wrap_tensor(key);
  }
  return call_method(self, "to_float");
}

PyObject* ordered_pair(const Ordered& result) {
  Ref values = make_instance(result.values);
  Ref indices = wrap_tensor(result.indices);
  return Ref::checked(PyTuple_Pack(2, values.get(), indices.get())).release();
}

}  // namespace

PyObject* gather(PyObject* const* args) {
  const int64_t dim = int_argument(args[1]);
  const at::Tensor index = index_on_device(args[0], "gather", args[2]);
  const RationalTensor x = load(args[0]);
  const RationalTensor result = without_gil(index.numel() * kNumPrimes > kReleaseGilElements,
      [&] { return kalvex::gather(x, dim, index); });
  return instance(result);
}

PyObject* index_select(PyObject* const* args) {
  const int64_t dim = int_argument(args[1]);
  const at::Tensor index = index_on_device(args[0], "index_select", args[2]);
  const RationalTensor x = load(args[0]);
  const RationalTensor result = without_gil(large(x), [&] { return kalvex::index_select(x, dim, index); });
  return instance(result);
}

PyObject* reshape(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* given = args[1];
  // One list or tuple (torch.Size included) is the shape; otherwise the
  // arguments themselves are.
  Ref items = Ref::borrow(given);
  if (PyTuple_GET_SIZE(given) == 1) {
    PyObject* only = PyTuple_GET_ITEM(given, 0);
    if (PyList_Check(only) || PyTuple_Check(only)) items = Ref::checked(PySequence_Tuple(only));
  }
  std::vector<int64_t> shape;
  bool plain = true;
  for (Py_ssize_t i = 0; plain && i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    int overflow = 0;
    const long long v = PyLong_CheckExact(item) ? PyLong_AsLongLongAndOverflow(item, &overflow) : 0;
    plain = PyLong_CheckExact(item) && overflow == 0;
    shape.push_back(v);
  }
  if (!plain) shape = shape_parsed_by_torch(self, items.get());
  return instance(kalvex::reshape(load(self), shape));
}

PyObject* T(PyObject* const* args) {
  PyObject* self = args[0];
  if (!is_exact_instance(self)) {
    // A subclass may define its own transpose; below rank 2, self.
    if (user_shape(self).size() < 2) return same_object(self);
    Ref before_last = Ref::checked(PyLong_FromLong(-2)), last = Ref::checked(PyLong_FromLong(-1));
    return call_method(self, "transpose", {before_last.get(), last.get()}).release();
  }
  const c10::optional<RationalTensor> result = matrix_transpose(load(self));
  return result ? instance(*result) : same_object(self);
}

PyObject* sort(PyObject* const* args) {
  PyObject* self = args[0];
  const RationalTensor x = load(self);
  Ref key = order_key_object(self, x);
  const bool descending = torch_flag(key.get(), "sort", nullptr, args[1], "descending", args[2]);
  const int64_t dim = int_argument(args[1]);
  const at::Tensor key_tensor = unpack_tensor(key.get());
  Ordered result;
  {
    AllowThreads unlocked(key_tensor.numel() * kNumPrimes > kReleaseGilElements);
    result = kalvex::sort(x, key_tensor, dim, descending);
  }
  return ordered_pair(result);
}

PyObject* argsort(PyObject* const* args) {
  PyObject* self = args[0];
  const RationalTensor x = load(self);
  Ref key = order_key_object(self, x);
  const bool descending = torch_flag(key.get(), "argsort", nullptr, args[1], "descending", args[2]);
  const int64_t dim = int_argument(args[1]);
  const at::Tensor key_tensor = unpack_tensor(key.get());
  const at::Tensor result = without_gil(key_tensor.numel() > kReleaseGilElements,
      [&] { return kalvex::argsort(x, key_tensor, dim, descending); });
  return wrap_tensor(result).release();
}

PyObject* topk(PyObject* const* args) {
  PyObject* self = args[0];
  const RationalTensor x = load(self);
  Ref key = order_key_object(self, x);
  const bool largest = torch_flag(key.get(), "topk", args[1], args[2], "largest", args[3]);
  const int64_t k = int_argument(args[1]);
  const int64_t dim = int_argument(args[2]);
  const at::Tensor key_tensor = unpack_tensor(key.get());
  Ordered result;
  {
    AllowThreads unlocked(key_tensor.numel() > kReleaseGilElements);
    result = kalvex::topk(x, key_tensor, k, dim, largest);
  }
  return ordered_pair(result);
}

}  // namespace kalvex::py::body
