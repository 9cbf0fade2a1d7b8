// Statistics and running values: norm, var, std, prod, cumsum, cumprod.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/series.h"
#include "binding/tensors.h"
#include "elementwise/cumulative.h"
#include "elementwise/statistics.h"

namespace kalvex::py::body {

namespace {

RationalTensor variance_of(PyObject* self, PyObject* correction) {
  const BigInt c = to_bigint(exact_int(correction));
  const at::Device device = instance_device(self);
  const RationalTensor x = load(self);
  prepare_device(device);
  AllowThreads unlocked(large(x));
  return kalvex::variance(x, c, device);
}

PyObject* running_of(Running kind, PyObject* const* args) {
  PyObject* self = args[0];
  int overflow = 0;
  const long long dim = PyLong_AsLongLongAndOverflow(args[1], &overflow);
  if (dim == -1 && PyErr_Occurred()) throw_error_set();
  if (overflow != 0) raise(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
  check_running_dim(kind, user_shape(self), dim);
  const RationalTensor x = load(self);
  const RationalTensor result = without_gil(large(x), [&] { return kalvex::running(kind, x); });
  return make_instance(result).release();
}

}  // namespace

PyObject* norm(PyObject* const* args) {
  PyObject* self = args[0];
  int overflow = 0;
  const long long p = PyLong_AsLongLongAndOverflow(args[1], &overflow);
  if (p == -1 && PyErr_Occurred()) throw_error_set();
  if (overflow == 0 && p == 2) {
    const RationalTensor x = load(self);
    const RationalTensor sum_sq = without_gil(large(x), [&] { return kalvex::sum_of_squares(x); });
    Ref total = make_instance(sum_sq);
    return newton_root(total.get(), kNewtonIterations, kNewtonBits).release();
  }
  if (overflow == 0 && p == 1) {
    Ref magnitudes = call_method(self, "abs");
    return call_method(magnitudes.get(), "sum").release();
  }
  raise(PyExc_ValueError, "Only L1 and L2 norms supported");
}

PyObject* var(PyObject* const* args) { return make_instance(variance_of(args[0], args[1])).release(); }

PyObject* std(PyObject* const* args) {
  Ref variance = make_instance(variance_of(args[0], args[1]));
  return newton_root(variance.get(), kNewtonIterations, kNewtonBits).release();
}

PyObject* cumsum(PyObject* const* args) { return running_of(Running::Sum, args); }
PyObject* cumprod(PyObject* const* args) { return running_of(Running::Product, args); }

}  // namespace kalvex::py::body
