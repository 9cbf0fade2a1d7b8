// Sums, dot products and matrix products.
#include "binding/adapter.h"
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/operands.h"
#include "binding/tensors.h"
#include "reduce/sum.h"

namespace kalvex::py::body {

namespace {

PyObject* sum_all_of(PyObject* self) {
  const RationalTensor x = load(self);
  const RationalTensor result = without_gil(large(x), [&] { return kalvex::sum_all(x); });
  return make_instance(result).release();
}

}  // namespace

PyObject* sum(PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* dim = args[1];
  if (dim == Py_None) return sum_all_of(self);
  if (Ref result = overridden(self, "_sum_dim", {dim})) return result.release();
  return member<kalvex::sum_dim>(args);
}

PyObject* dot(PyObject* const* args) {
  if (is_exact_instance(args[0]) && is_exact_instance(args[1])) {
    // Both plain instances: the product and its sum in one pass where possible.
    RationalTensor x = load(args[0]), y;  // the other operand is read as * reads it
    y.num = tensor_field(args[1], Field::Num);
    y.denom = tensor_field(args[1], Field::Denom);
    y.primes = operand_primes(args[1]);
    attach_bounds(y, x.primes);
    if (x.approx) y.approx = approx_field(args[1]);
    const RationalTensor result = without_gil(large(x), [&] { return kalvex::dot(x, y); });
    return make_instance(result).release();
  }
  Ref product = Ref::checked(PyNumber_Multiply(args[0], args[1]));
  if (is_exact_instance(product.get())) return sum_all_of(product.get());
  return call_method(product.get(), "sum").release();
}

}  // namespace kalvex::py::body
