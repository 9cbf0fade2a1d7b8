// Members whose work is not built yet.  Their signatures, defaults and argument
// checks are already final; the body raises NotImplementedError.
#include "binding/bodies.h"
#include "binding/errors.h"

namespace kalvex::py::body {

#define KALVEX_PENDING(body_name, public_name)                                                        \
  PyObject* body_name(PyObject* const*) {                                                            \
    raise(PyExc_NotImplementedError, "%s is not implemented yet", public_name);                      \
  }

KALVEX_PENDING(norm, "ModularTensor.norm")
KALVEX_PENDING(var, "ModularTensor.var")
KALVEX_PENDING(std, "ModularTensor.std")
KALVEX_PENDING(prod, "ModularTensor.prod")
KALVEX_PENDING(cumsum, "ModularTensor.cumsum")
KALVEX_PENDING(cumprod, "ModularTensor.cumprod")
KALVEX_PENDING(gather, "ModularTensor.gather")
KALVEX_PENDING(index_select, "ModularTensor.index_select")
KALVEX_PENDING(reshape, "ModularTensor.reshape")
KALVEX_PENDING(transpose, "ModularTensor.transpose")
KALVEX_PENDING(flatten, "ModularTensor.flatten")
KALVEX_PENDING(squeeze, "ModularTensor.squeeze")
KALVEX_PENDING(unsqueeze, "ModularTensor.unsqueeze")
KALVEX_PENDING(T, "ModularTensor.T")
KALVEX_PENDING(trace, "ModularTensor.trace")
KALVEX_PENDING(det, "ModularTensor.det")
KALVEX_PENDING(inv, "ModularTensor.inv")
KALVEX_PENDING(solve, "ModularTensor.solve")
KALVEX_PENDING(sort, "ModularTensor.sort")
KALVEX_PENDING(argsort, "ModularTensor.argsort")
KALVEX_PENDING(topk, "ModularTensor.topk")
KALVEX_PENDING(exp_taylor, "exp_taylor")
KALVEX_PENDING(sin_taylor, "sin_taylor")
KALVEX_PENDING(cos_taylor, "cos_taylor")
KALVEX_PENDING(log1p_taylor, "log1p_taylor")
KALVEX_PENDING(sqrt_taylor, "sqrt_taylor")
KALVEX_PENDING(sqrt_newton, "sqrt_newton")

#undef KALVEX_PENDING

}  // namespace kalvex::py::body
