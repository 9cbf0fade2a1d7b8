#pragma once
// The one exception boundary of every Python entry point.
#include "binding/py.h"

namespace kalvex::py {

// Sets the Python exception that matches the C++ exception being handled:
// the core's typed errors and torch's errors keep their meaning and message.
void set_error_from_current_exception();

template <typename F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

[[noreturn]] void raise(PyObject* type, const char* format, ...);

}  // namespace kalvex::py
