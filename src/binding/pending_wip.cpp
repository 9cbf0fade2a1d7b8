#include "binding/bodies.h"
#include "binding/errors.h"
namespace kalvex::py::body {
#define P(b) PyObject* b(PyObject* const*) { raise(PyExc_NotImplementedError, "%s is not implemented yet", #b); }
P(add) P(radd) P(sub) P(rsub) P(mul) P(rmul) P(truediv) P(neg) P(eq)
P(sum) P(sum_dim) P(dot) P(matmul) P(to_float) P(simplify) P(to_rational) P(to_decimal)
}
