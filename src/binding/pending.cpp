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

#undef KALVEX_PENDING

}  // namespace kalvex::py::body
