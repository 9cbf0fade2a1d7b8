#include "binding/exception_boundary.h"

#include <c10/util/Exception.h>

#include <cstdarg>
#include <new>

#include "core/errors.h"

namespace kalvex::py {

namespace {

PyObject* python_type_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Value: return PyExc_ValueError;
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::NotImplemented: return PyExc_NotImplementedError;
    case ErrorKind::ZeroDivision: return PyExc_ZeroDivisionError;
    case ErrorKind::Overflow: return PyExc_OverflowError;
    case ErrorKind::Index: return PyExc_IndexError;
    case ErrorKind::Runtime: return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

void set_error_from_current_exception() {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const Error& e) {
    PyErr_SetString(python_type_of(e.kind()), e.what());
  } catch (const c10::IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
  } catch (const c10::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
  } catch (const c10::TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
  } catch (const c10::NotImplementedError& e) {
    PyErr_SetString(PyExc_NotImplementedError, e.what_without_backtrace());
  } catch (const c10::Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

void raise(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw_error_set();
}

}  // namespace kalvex::py
