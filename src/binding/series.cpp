// The Taylor series and Newton's square root, as module functions.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/series.h"
#include "binding/tensors.h"
#include "functional/newton.h"
#include "functional/series.h"
#include "reconstruct/float_view.h"

namespace kalvex::py {

int64_t count_argument(PyObject* value) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  if (overflow < 0) return INT64_MIN;
  if (overflow > 0) raise(PyExc_OverflowError, "count too large to run: %R", value);
  return v;
}

int64_t saturated_argument(PyObject* value) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  if (overflow != 0) return overflow < 0 ? INT64_MIN : INT64_MAX;
  return v;
}

namespace {

PyObject* taylor_of(Series series, PyObject* const* args) {
  PyObject* x = args[0];
  const int64_t terms = count_argument(args[1]);
  const at::Device device = instance_device(x);
  const std::vector<int64_t> shape = user_shape(x);
  const RationalTensor value = load(x);
  prepare_device(device);
  const RationalTensor result = without_gil(large(value), [&] { return taylor(series, value, shape, device, terms); });
  return make_instance(result).release();
}

}  // namespace

Ref newton_root(PyObject* a, int64_t max_iterations, int64_t max_bits) {
  const at::Device device = instance_device(a);
  const std::vector<int64_t> shape = user_shape(a);
  const RationalTensor value = load(a);
  // The float view as to_float gives it: the approximation, else rebuilt.
  at::Tensor a_float;
  if (!is_exact_instance(a)) {
    Ref view = call_method(a, "to_float");
    if (!is_tensor(view.get()))
      raise(PyExc_TypeError, "to_float() must return a torch.Tensor, got %.200s", Py_TYPE(view.get())->tp_name);
    a_float = unpack_tensor(view.get());
  } else if (value.approx) {
    a_float = *value.approx;
  } else {
    a_float = float_view(value, shape, device);
  }
  prepare_device(device);
  const RationalTensor result = without_gil(large(value),
      [&] { return sqrt_newton(value, a_float, shape, device, max_iterations, max_bits); });
  return make_instance(result);
}

namespace body {

PyObject* exp_taylor(PyObject* const* args) { return taylor_of(Series::Exp, args); }
PyObject* sin_taylor(PyObject* const* args) { return taylor_of(Series::Sin, args); }
PyObject* cos_taylor(PyObject* const* args) { return taylor_of(Series::Cos, args); }
PyObject* log1p_taylor(PyObject* const* args) { return taylor_of(Series::Log1p, args); }
PyObject* sqrt_taylor(PyObject* const* args) { return taylor_of(Series::Sqrt, args); }

PyObject* sqrt_newton(PyObject* const* args) {
  const int64_t max_iterations = saturated_argument(args[1]);
  const int64_t max_bits = saturated_argument(args[2]);
  return newton_root(args[0], max_iterations, max_bits).release();
}

}  // namespace body

}  // namespace kalvex::py
