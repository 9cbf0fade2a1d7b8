// Temporary: bodies whose work lands with the next change to this area.
#include "binding/bodies.h"
#include "binding/errors.h"
namespace kalvex::py::body {
PyObject* add(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "add"); }
PyObject* radd(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "radd"); }
PyObject* sub(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "sub"); }
PyObject* rsub(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "rsub"); }
PyObject* mul(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "mul"); }
PyObject* rmul(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "rmul"); }
PyObject* truediv(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "truediv"); }
PyObject* neg(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "neg"); }
PyObject* eq(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", "eq"); }
}  // namespace kalvex::py::body
