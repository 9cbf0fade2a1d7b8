// Module functions that capture float tensors or forward to a method.
#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"

namespace kalvex::py::body {

namespace {

// x.<method>(args...), the method looked up on x as a Python call would.
PyObject* forward(const char* method, PyObject* x, std::initializer_list<PyObject*> args = {}) {
  return call_method(x, method, args).release();
}

Ref captured(PyObject* x) {
  PyObject* cls = reinterpret_cast<PyObject*>(state().cls);
  return Ref::checked(forward("from_tensor", cls, {x}));
}

PyObject* checked_index(PyObject* result) {
  if (result != nullptr && result != Py_None && !PyLong_CheckExact(result)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

}  // namespace

PyObject* modular_sum(PyObject* const* args) {
  Ref mt = captured(args[0]);
  return forward("sum", mt.get());
}

PyObject* modular_dot(PyObject* const* args) {
  Ref mt_a = captured(args[0]);
  Ref mt_b = captured(args[1]);
  return forward("dot", mt_a.get(), {mt_b.get()});
}

PyObject* modular_abs(PyObject* const* args) { return forward("abs", args[0]); }
PyObject* modular_max(PyObject* const* args) { return forward("max", args[0]); }
PyObject* modular_min(PyObject* const* args) { return forward("min", args[0]); }
PyObject* modular_argmax(PyObject* const* args) { return checked_index(forward("argmax", args[0])); }
PyObject* modular_argmin(PyObject* const* args) { return checked_index(forward("argmin", args[0])); }
PyObject* modular_relu(PyObject* const* args) { return forward("relu", args[0]); }
PyObject* modular_var(PyObject* const* args) { return forward("var", args[0], {args[1]}); }
PyObject* modular_std(PyObject* const* args) { return forward("std", args[0], {args[1]}); }
PyObject* modular_norm(PyObject* const* args) { return forward("norm", args[0], {args[1]}); }
PyObject* modular_prod(PyObject* const* args) { return forward("prod", args[0]); }
PyObject* modular_pow(PyObject* const* args) { return forward("pow", args[0], {args[1]}); }
PyObject* modular_clamp(PyObject* const* args) { return forward("clamp", args[0], {args[1], args[2]}); }
PyObject* modular_sign(PyObject* const* args) { return forward("sign", args[0]); }
PyObject* modular_reciprocal(PyObject* const* args) { return forward("reciprocal", args[0]); }
PyObject* modular_square(PyObject* const* args) { return forward("square", args[0]); }

}  // namespace kalvex::py::body
