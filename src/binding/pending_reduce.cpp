// Temporary: bodies whose work lands with the next change to this area.
#include "binding/bodies.h"
#include "binding/errors.h"
namespace kalvex::py::body {
PyObject* sum(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "sum"); }
PyObject* sum_dim(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "sum_dim"); }
PyObject* dot(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "dot"); }
PyObject* matmul(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "matmul"); }
}  // namespace kalvex::py::body
