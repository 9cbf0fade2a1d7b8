// The arithmetic operators: operand handling as Python sees it (numbers,
// duck-typed operands, which attributes are read and when), then the core.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/operands.h"
#include "binding/tensors.h"
#include "core/arith.h"

namespace kalvex::py::body {

namespace {

// The residues of self, then of the other operand in the order the formula
// reads them (the denominator first, except for *), then the approximations:
// the other one only when self has one.
struct Operands {
  RationalTensor x, y;
};

Operands load_pair(PyObject* self, PyObject* other, bool numerator_first, bool with_approx = true) {
  Operands ops;
  ops.x.primes = tensor_field(self, Field::Primes);
  ops.x.num = tensor_field(self, Field::Num);
  ops.x.denom = tensor_field(self, Field::Denom);
  if (numerator_first) {
    ops.y.num = tensor_field(other, Field::Num);
    ops.y.denom = tensor_field(other, Field::Denom);
  } else {
    ops.y.denom = tensor_field(other, Field::Denom);
    ops.y.num = tensor_field(other, Field::Num);
  }
  ops.y.primes = operand_primes(other);  // for the check that both share one basis
  attach_bounds(ops.x);
  attach_bounds(ops.y, ops.x.primes);
  if (with_approx) {
    ops.x.approx = approx_field(self);
    if (ops.x.approx) ops.y.approx = approx_field(other);
  }
  return ops;
}

PyObject* apply(BinaryOp op, PyObject* self, PyObject* other_arg) {
  Ref other = operand(self, other_arg);
  const Operands ops = load_pair(self, other.get(), op == BinaryOp::Mul);
  const RationalTensor result = without_gil(large(ops.x), [&] { return binary(op, ops.x, ops.y); });
  return make_instance(result).release();
}

// self.<method>(other), honouring an override in a subclass.
PyObject* call_own(PyObject* self, const char* method, BinaryOp op, PyObject* other) {
  if (Ref result = overridden(self, method, {other})) return result.release();
  return apply(op, self, other);
}

}  // namespace

PyObject* add(PyObject* const* args) { return apply(BinaryOp::Add, args[0], args[1]); }
PyObject* sub(PyObject* const* args) { return apply(BinaryOp::Sub, args[0], args[1]); }
PyObject* mul(PyObject* const* args) { return apply(BinaryOp::Mul, args[0], args[1]); }
PyObject* truediv(PyObject* const* args) { return apply(BinaryOp::Div, args[0], args[1]); }

PyObject* radd(PyObject* const* args) { return call_own(args[0], "__add__", BinaryOp::Add, args[1]); }
PyObject* rmul(PyObject* const* args) { return call_own(args[0], "__mul__", BinaryOp::Mul, args[1]); }

PyObject* rsub(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* other = args[1];
  Ref constant = number_operand(self, other);
  if (!constant) return call_method(other, "__sub__", {self}).release();
  return apply(BinaryOp::Sub, constant.get(), self);
}

PyObject* rtruediv(PyObject* const* args) {
  Ref constant = number_operand(args[0], args[1]);
  if (!constant) Py_RETURN_NOTIMPLEMENTED;
  return apply(BinaryOp::Div, constant.get(), args[0]);
}

PyObject* pos(PyObject* const* args) { return make_instance(load(args[0])).release(); }

PyObject* eq(PyObject* const* args) {
  Ref other = operand(args[0], args[1]);
  const Operands ops = load_pair(args[0], other.get(), false, /*with_approx=*/false);
  const at::Tensor result = without_gil(large(ops.x), [&] { return equal(ops.x, ops.y); });
  return wrap_tensor(result).release();
}

}  // namespace kalvex::py::body
