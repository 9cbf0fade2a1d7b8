// Members whose work is not built yet.  Their signatures, defaults and argument
// checks are already final; the body raises NotImplementedError.
#include "binding/bodies.h"
#include "binding/errors.h"

namespace kalvex::py::body {

#define KALVEX_PENDING(body_name, public_name)                                                        \
  PyObject* body_name(PyObject* const*) {                                                            \
    raise(PyExc_NotImplementedError, "%s is not implemented yet", public_name);                      \
  }

KALVEX_PENDING(abs, "ModularTensor.abs")
KALVEX_PENDING(sign, "ModularTensor.sign")
KALVEX_PENDING(max, "ModularTensor.max")
KALVEX_PENDING(min, "ModularTensor.min")
KALVEX_PENDING(argmax, "ModularTensor.argmax")
KALVEX_PENDING(argmin, "ModularTensor.argmin")
KALVEX_PENDING(relu, "ModularTensor.relu")
KALVEX_PENDING(clamp, "ModularTensor.clamp")
KALVEX_PENDING(pow, "ModularTensor.pow")
KALVEX_PENDING(square, "ModularTensor.square")
KALVEX_PENDING(reciprocal, "ModularTensor.reciprocal")
KALVEX_PENDING(dunder_pow, "ModularTensor.__pow__")
KALVEX_PENDING(lt, "ModularTensor.lt")
KALVEX_PENDING(le, "ModularTensor.le")
KALVEX_PENDING(gt, "ModularTensor.gt")
KALVEX_PENDING(ge, "ModularTensor.ge")
KALVEX_PENDING(ne, "ModularTensor.ne")
KALVEX_PENDING(all, "ModularTensor.all")
KALVEX_PENDING(any, "ModularTensor.any")
KALVEX_PENDING(where, "ModularTensor.where")
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

#undef KALVEX_PENDING

}  // namespace kalvex::py::body
