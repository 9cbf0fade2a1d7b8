// Temporary: bodies whose work lands with the next change to this area.
#include "binding/bodies.h"
#include "binding/errors.h"
namespace kalvex::py::body {
PyObject* to_float(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "to_float"); }
PyObject* simplify(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "simplify"); }
PyObject* to_rational(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "to_rational"); }
PyObject* to_decimal(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "to_decimal"); }
}  // namespace kalvex::py::body
