// Sign-based operations, extremes, powers, comparisons and selection: which
// slots and methods each reads (a subclass's own to_float, __eq__ and pow are
// honoured), then the core.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/operands.h"
#include "binding/tensors.h"
#include "elementwise/clamp.h"
#include "elementwise/compare.h"
#include "elementwise/extremes.h"
#include "elementwise/powers.h"
#include "elementwise/sign_ops.h"
#include "reconstruct/exact_decisions.h"
#include "reconstruct/float_view.h"

namespace kalvex::py::body {

namespace {

at::Tensor tensor_of(const Ref& obj, const char* what) {
  if (!is_tensor(obj.get()))
    raise(PyExc_TypeError, "%s must be a torch.Tensor, got %.200s", what, Py_TYPE(obj.get())->tp_name);
  return unpack_tensor(obj.get());
}

// obj.to_float(), as calling the method gives it.
Ref float_view_object(PyObject* obj) {
  if (Ref view = overridden(obj, "to_float")) return view;
  return Ref::checked(to_float(&obj));
}

at::Tensor float_view_tensor(PyObject* obj) { return tensor_of(float_view_object(obj), "to_float()"); }

// What the sign-based methods decide on: _approx when set, else to_float(),
// reshaped to the tensor's own shape when `own_shape` (the rebuilt view of a
// 0-dimensional tensor has shape (1,)).
at::Tensor sign_view(PyObject* self, bool own_shape) {
  if (c10::optional<at::Tensor> approx = approx_field(self)) return *approx;
  const at::Tensor view = float_view_tensor(self);
  return own_shape ? view.reshape(user_shape(self)) : view;
}

PyObject* decided(PyObject* self, RationalTensor (*op)(const RationalTensor&, const at::Tensor&)) {
  const at::Tensor view = sign_view(self, true);
  const RationalTensor x = load(self);
  const RationalTensor result = without_gil(large(x), [&] { return op(x, view); });
  return make_instance(result).release();
}

PyObject* extreme_of(PyObject* self, bool largest) {
  const at::Tensor view = float_view_tensor(self);
  const RationalTensor x = load(self);
  return make_instance(extreme(x, view, largest, x.approx.has_value())).release();
}

PyObject* index_of(PyObject* self, bool largest) {
  const at::Tensor view = float_view_tensor(self);
  return PyLong_FromLongLong(decided_extreme_index(load(self), view, largest));
}

PyObject* power_of(PyObject* self, PyObject* n) {
  const BigInt exponent = to_bigint(exact_int(n));
  if (mpz_cmp_ui(exponent.get(), 1) == 0) return Ref::borrow(self).release();
  const std::vector<int64_t> shape = user_shape(self);
  const at::Device device = instance_device(self);
  prepare_device(device);
  // x^0 reads no residues.
  const RationalTensor x = exponent.sign() == 0 ? RationalTensor{} : load(self);
  c10::optional<RationalTensor> result;
  {
    AllowThreads unlocked(x.num.defined() && large(x));
    result = power(x, exponent, shape, device);
  }
  if (!result) return Ref::borrow(self).release();
  return make_instance(*result).release();
}

// The float views compared as torch compares them, then the pairs they do
// not decide compared exactly (NOTE: [Exact decisions]).
PyObject* order(PyObject* self, PyObject* other, int op) {
  Ref left = float_view_object(self);
  Ref right = float_view_object(other);
  Ref compared = Ref::checked(PyObject_RichCompare(left.get(), right.get(), op));
  if (!is_tensor(compared.get()) || !is_tensor(left.get()) || !is_tensor(right.get())) return compared.release();
  const Order order = op == Py_LT ? Order::Less : op == Py_LE ? Order::LessEqual : op == Py_GT ? Order::Greater
                                                                                                : Order::GreaterEqual;
  const RationalTensor x = load(self), y = load(other);
  const at::Tensor result = unpack_tensor(compared.get());
  return wrap_tensor(decided_compare(result, x, unpack_tensor(left.get()), y, unpack_tensor(right.get()), order))
      .release();
}

PyObject* nonzero_test(PyObject* self, bool (*test)(const at::Tensor&)) {
  at::Tensor num = tensor_field(self, Field::Num);
  attach_bound(num, tensor_field(self, Field::Primes));
  return PyBool_FromLong(test(num));
}

// A float bound as clamp stores it, refused up front as int() refuses it.
void check_bound(PyObject* bound) {
  if (bound == Py_None) return;
  Ref scaled = Ref::checked(PyLong_FromDouble(PyFloat_AS_DOUBLE(bound) * 10000.0));
}

c10::optional<double> bound_of(PyObject* bound) {
  if (bound == Py_None) return c10::nullopt;
  return PyFloat_AS_DOUBLE(bound);
}

}  // namespace

PyObject* abs(PyObject* const* args) { return decided(args[0], absolute); }

PyObject* relu(PyObject* const* args) { return decided(args[0], kalvex::relu); }

PyObject* sign(PyObject* const* args) {
  const at::Tensor view = sign_view(args[0], false);
  return wrap_tensor(decided_signs(load(args[0]), view)).release();
}

PyObject* clamp(PyObject* const* args) {
  PyObject* self = args[0];
  const c10::optional<double> lo = bound_of(args[1]);
  const c10::optional<double> hi = bound_of(args[2]);
  if (!lo && !hi) return Ref::borrow(self).release();
  check_bound(args[1]);
  at::Tensor view = float_view_tensor(self);
  const RationalTensor x = load(self);
  const std::vector<int64_t> shape = user_shape(self);
  const at::Device device = instance_device(self);
  if (!x.approx) view = view.reshape(shape);
  const bool plain = is_exact_instance(self);
  c10::optional<RationalTensor> result;
  {
    AllowThreads unlocked(large(x));
    result = kalvex::clamp(x, view, lo, hi, [&] {
      return plain ? view : float_view(x, shape, device).reshape(shape);
    });
  }
  if (!result) return Ref::borrow(self).release();
  return make_instance(*result).release();
}

PyObject* max(PyObject* const* args) { return extreme_of(args[0], true); }
PyObject* min(PyObject* const* args) { return extreme_of(args[0], false); }
PyObject* argmax(PyObject* const* args) { return index_of(args[0], true); }
PyObject* argmin(PyObject* const* args) { return index_of(args[0], false); }

PyObject* pow(PyObject* const* args) { return power_of(args[0], args[1]); }

PyObject* dunder_pow(PyObject* const* args) {
  if (Ref result = overridden(args[0], "pow", {args[1]})) return result.release();
  return power_of(args[0], args[1]);
}

PyObject* square(PyObject* const* args) { return PyNumber_Multiply(args[0], args[0]); }

PyObject* reciprocal(PyObject* const* args) {
  const RationalTensor x = load(args[0], {Field::Approx, Field::Denom, Field::Num, Field::Primes});
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = x.approx->reciprocal();
  RationalTensor result{x.denom.clone(), x.num.clone(), x.primes, approx};
  result.bits = swapped(x.bits);
  return make_instance(result).release();
}

// The operator forms: numbers as the arithmetic operators take them, and
// NotImplemented for what is neither a number nor a ModularTensor.
PyObject* order_operator(PyObject* self, PyObject* other, int op) {
  if (PyObject_TypeCheck(other, state().cls)) return order(self, other, op);
  Ref constant = number_operand(self, other);
  if (!constant) Py_RETURN_NOTIMPLEMENTED;
  return order(self, constant.get(), op);
}

PyObject* dunder_lt(PyObject* const* args) { return order_operator(args[0], args[1], Py_LT); }
PyObject* dunder_le(PyObject* const* args) { return order_operator(args[0], args[1], Py_LE); }
PyObject* dunder_gt(PyObject* const* args) { return order_operator(args[0], args[1], Py_GT); }
PyObject* dunder_ge(PyObject* const* args) { return order_operator(args[0], args[1], Py_GE); }

PyObject* lt(PyObject* const* args) { return order(args[0], args[1], Py_LT); }
PyObject* le(PyObject* const* args) { return order(args[0], args[1], Py_LE); }
PyObject* gt(PyObject* const* args) { return order(args[0], args[1], Py_GT); }
PyObject* ge(PyObject* const* args) { return order(args[0], args[1], Py_GE); }

PyObject* ne(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* other = args[1];
  if (!is_exact_instance(self) || !is_exact_instance(other)) {
    // ~(self == other), with whatever == means for these operands.
    Ref equal = Ref::checked(PyObject_RichCompare(self, other, Py_EQ));
    return PyNumber_Invert(equal.get());
  }
  const RationalTensor x = load(self, {Field::Primes, Field::Num, Field::Denom});
  const RationalTensor y = load(other, {Field::Denom, Field::Num, Field::Primes});
  const at::Tensor result = without_gil(large(x), [&] { return not_equal(x, y); });
  return wrap_tensor(result).release();
}

PyObject* all(PyObject* const* args) { return nonzero_test(args[0], all_nonzero); }
PyObject* any(PyObject* const* args) { return nonzero_test(args[0], any_nonzero); }

PyObject* where(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* condition = args[1];
  PyObject* other = args[2];
  const at::Device device = instance_device(self);
  at::Tensor cond;
  if (is_tensor(condition)) {
    cond = unpack_tensor(condition).to(device);
  } else {
    Ref device_obj = read_field(self, Field::Device);
    Ref moved = call_method(condition, "to", {device_obj.get()});
    cond = tensor_of(moved, "condition.to()");
  }
  // Residues in the order the selection reads them; the other operand's basis
  // is not read at all.
  RationalTensor x, y;
  x.num = tensor_field(self, Field::Num);
  y.num = tensor_field(other, Field::Num);
  x.denom = tensor_field(self, Field::Denom);
  y.denom = tensor_field(other, Field::Denom);
  x.primes = tensor_field(self, Field::Primes);
  y.primes = x.primes;
  attach_bounds(x);
  attach_bounds(y);
  x.approx = approx_field(self);
  if (x.approx) y.approx = approx_field(other);
  const RationalTensor result = without_gil(large(x), [&] { return select(cond, x, y); });
  return make_instance(result).release();
}

}  // namespace kalvex::py::body
