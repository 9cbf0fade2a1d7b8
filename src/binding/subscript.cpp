// The habits of a torch tensor: subscripts, len and iteration, sizes, moves
// between devices, and joining tensors.  Where torch decides what is valid,
// its decision is taken on a tensor of the user shape first (the
// approximation, or an empty stand-in), so that its rules and errors speak
// of the user's axes; the residues then follow with their prime axis.
#include <ATen/ATen.h>
#include <ATen/WrapDimUtils.h>

#include "binding/bodies.h"
#include "binding/elements.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/tensors.h"
#include "core/checks.h"

namespace kalvex::py::body {

namespace {

PyObject* same_object(PyObject* self) {
  Py_INCREF(self);
  return self;
}

// A tensor of x's user shape on its device, for torch to judge an index or
// a join by: the approximation where there is one, else a stand-in that
// holds no memory.
at::Tensor user_tensor(const RationalTensor& x) {
  if (x.approx) return *x.approx;
  return at::zeros({}, x.num.options().dtype(at::kFloat)).expand(x.shape());
}

bool holds_ellipsis(PyObject* key) {
  if (key == Py_Ellipsis) return true;
  if (!PyTuple_Check(key)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i)
    if (PyTuple_GET_ITEM(key, i) == Py_Ellipsis) return true;
  return false;
}

// residues[:, key] as torch indexes a tensor of the user shape: the prime
// axis is moved last, where no index reaches it (an Ellipsis would, so a
// full slice is added after one), and back to the front afterwards.
at::Tensor indexed_residues(const at::Tensor& residues, PyObject* key, at::IntArrayRef expected) {
  Ref moved = wrap_tensor(residues.movedim(0, -1));
  Ref residue_key;
  if (holds_ellipsis(key)) {
    Ref full = Ref::checked(PySlice_New(nullptr, nullptr, nullptr));
    if (PyTuple_Check(key)) {
      Ref tail = Ref::checked(PyTuple_Pack(1, full.get()));
      residue_key = Ref::checked(PySequence_Concat(key, tail.get()));
    } else {
      residue_key = Ref::checked(PyTuple_Pack(2, key, full.get()));
    }
  } else {
    residue_key = Ref::borrow(key);
  }
  Ref picked = Ref::checked(PyObject_GetItem(moved.get(), residue_key.get()));
  if (!is_tensor(picked.get())) raise(PyExc_TypeError, "indexing the residues gave no tensor");
  at::Tensor out = unpack_tensor(picked.get()).movedim(-1, 0);
  if (!out.sizes().slice(1).equals(expected))
    raise(PyExc_IndexError, "this index is not supported by ModularTensor");
  // A copy (advanced indexing) is laid out with the prime axis first, as
  // every residue tensor the library makes; a view stays a view.
  return out.is_alias_of(residues) ? out : out.contiguous();
}

// The sequence `tensors` as loaded instances sharing the first one's basis;
// `empty_error` is raised for an empty sequence.
std::vector<RationalTensor> joined_operands(PyObject* tensors, const char* function, PyObject* empty_type,
                                            const char* empty_message) {
  Ref seq = Ref::checked(PySequence_Fast(tensors, "expected a sequence of ModularTensors"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n == 0) raise(empty_type, "%s", empty_message);
  std::vector<RationalTensor> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_ITEMS(seq.get())[i];
    if (!PyObject_TypeCheck(item, state().cls))
      raise(PyExc_TypeError, "%s(): expected a sequence of ModularTensors, got %.200s at position %zd", function,
            Py_TYPE(item)->tp_name, i);
    out.push_back(checked_values(item));
    check_operands(out.front(), out.back());
  }
  return out;
}

// cat or stack: torch joins the user tensors first (its rules and errors),
// then the residues along the same axis, one further in.
PyObject* join(PyObject* tensors, PyObject* dim_obj, bool stack) {
  const std::vector<RationalTensor> parts =
      stack ? joined_operands(tensors, "stack", PyExc_RuntimeError, "stack expects a non-empty TensorList")
            : joined_operands(tensors, "cat", PyExc_ValueError, "cat(): expected a non-empty list of ModularTensors");
  const int64_t dim = int_argument(dim_obj);
  std::vector<at::Tensor> users, nums, denoms;
  bool approximated = true;
  BitBounds bits = parts.front().bits;
  for (const RationalTensor& x : parts) {
    users.push_back(user_tensor(x));
    nums.push_back(x.num);
    denoms.push_back(x.denom);
    approximated = approximated && x.approx;
    bits = either_bounds(bits, x.bits);
  }
  at::Tensor joined = stack ? at::stack(users, dim) : at::cat(users, dim);
  const int64_t axis = at::maybe_wrap_dim(dim, joined.dim()) + 1;
  RationalTensor out{stack ? at::stack(nums, axis) : at::cat(nums, axis),
                     stack ? at::stack(denoms, axis) : at::cat(denoms, axis), parts.front().primes,
                     approximated ? c10::optional<at::Tensor>(joined) : c10::nullopt};
  out.bits = bits;
  return make_instance(out).release();
}

RationalTensor moved_to(const RationalTensor& x, const at::Device& device) {
  RationalTensor out{x.num.to(device), x.denom.to(device), x.primes.to(device), c10::nullopt};
  if (x.approx) out.approx = x.approx->to(device);
  out.bits = x.bits;
  return out;
}

PyObject* to_device(PyObject* self, const at::Device& device) {
  const RationalTensor x = load(self);
  if (x.num.device() == device && x.denom.device() == device && x.primes.device() == device &&
      (!x.approx || x.approx->device() == device))
    return same_object(self);
  prepare_device(device);
  return make_instance(moved_to(x, device)).release();
}

}  // namespace

PyObject* getitem(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* key = args[1];
  const RationalTensor x = checked_values(self);
  RationalTensor out;
  out.primes = x.primes;
  out.bits = x.bits;
  if (PyLong_CheckExact(key) && !x.shape().empty()) {
    // The common x[i], without torch's Python indexing.
    const int64_t i = int_argument(key);
    const int64_t size = x.shape()[0];
    if (i < -size || i >= size)
      raise(PyExc_IndexError, "index %lld is out of bounds for dimension 0 with size %lld", static_cast<long long>(i),
            static_cast<long long>(size));
    out.num = x.num.select(1, i);
    out.denom = x.denom.select(1, i);
    if (x.approx) out.approx = x.approx->select(0, i);
    return make_instance(out).release();
  }
  const at::Tensor user = user_tensor(x);
  Ref user_obj = wrap_tensor(user);
  Ref picked = Ref::checked(PyObject_GetItem(user_obj.get(), key));
  const at::Tensor shape_of_result = unpack_tensor(picked.get());
  out.num = indexed_residues(x.num, key, shape_of_result.sizes());
  out.denom = indexed_residues(x.denom, key, shape_of_result.sizes());
  if (x.approx) out.approx = shape_of_result;
  return make_instance(out).release();
}

PyObject* len(PyObject* const* args) {
  const std::vector<int64_t> shape = user_shape(args[0]);
  if (shape.empty()) raise(PyExc_TypeError, "len() of a 0-d tensor");
  return PyLong_FromLongLong(shape[0]);
}

PyObject* iter(PyObject* const* args) {
  const RationalTensor x = checked_values(args[0]);
  if (x.shape().empty()) raise(PyExc_TypeError, "iteration over a 0-d tensor");
  const std::vector<at::Tensor> nums = x.num.unbind(1), denoms = x.denom.unbind(1);
  std::vector<at::Tensor> approxes;
  if (x.approx) approxes = x.approx->unbind(0);
  Ref items = Ref::checked(PyTuple_New(static_cast<Py_ssize_t>(nums.size())));
  for (size_t i = 0; i < nums.size(); ++i) {
    RationalTensor item{nums[i], denoms[i], x.primes, c10::nullopt};
    if (!approxes.empty()) item.approx = approxes[i];
    item.bits = x.bits;
    PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), make_instance(item).release());
  }
  return PyObject_GetIter(items.get());
}

PyObject* dim(PyObject* const* args) {
  return PyLong_FromSize_t(user_shape(args[0]).size());
}

PyObject* numel(PyObject* const* args) {
  int64_t count = 1;
  for (int64_t n : user_shape(args[0])) count *= n;
  return PyLong_FromLongLong(count);
}

PyObject* size(PyObject* const* args) {
  if (args[1] == Py_None) return getattr(args[0], "shape").release();
  const std::vector<int64_t> shape = user_shape(args[0]);
  const int64_t dim = int_argument(args[1]);
  return PyLong_FromLongLong(shape[static_cast<size_t>(at::maybe_wrap_dim(dim, static_cast<int64_t>(shape.size()), /*wrap_scalar=*/false))]);
}

PyObject* to(PyObject* const* args) { return to_device(args[0], device_of_object(args[1])); }

PyObject* cpu(PyObject* const* args) { return to_device(args[0], at::Device(at::kCPU)); }

PyObject* cuda(PyObject* const* args) {
  PyObject* device = args[1];
  if (device == Py_None) return to_device(args[0], parse_device(Ref::checked(PyUnicode_FromString("cuda")).get()));
  if (PyLong_Check(device)) {
    const long index = PyLong_AsLong(device);
    if (index == -1 && PyErr_Occurred()) throw_error_set();
    Ref name = Ref::checked(PyUnicode_FromFormat("cuda:%ld", index));
    return to_device(args[0], parse_device(name.get()));
  }
  const at::Device parsed = device_of_object(device);
  if (!parsed.is_cuda()) raise(PyExc_ValueError, "Invalid device, must be cuda device");
  return to_device(args[0], parsed);
}

PyObject* cat(PyObject* const* args) { return join(args[1], args[2], /*stack=*/false); }
PyObject* stack(PyObject* const* args) { return join(args[1], args[2], /*stack=*/true); }

}  // namespace kalvex::py::body
