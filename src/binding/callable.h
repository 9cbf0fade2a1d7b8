#pragma once
// One callable type for every method and module function.  A callable is made
// from a FunctionDef: its signature as data, its docstring and its body.  It
// binds arguments like a Python function (same error wording), checks the
// exact types its parameters demand, then runs the body behind the exception
// boundary.
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "binding/py.h"

namespace kalvex::py {

// Exact-type checks made on entry, in signature order, before any work.
enum class Check : uint8_t { None, Int, IntOrNone, FloatOrNone, Str, Tuple };

struct Default {
  enum class Kind : uint8_t { Required, None, Int, Str, EmptyTuple, False, True } kind = Kind::Required;
  long long int_value = 0;
  const char* str_value = nullptr;
};

inline Default required() { return {}; }
inline Default none() { return {Default::Kind::None}; }
inline Default integer(long long v) { return {Default::Kind::Int, v}; }
inline Default string(const char* s) { return {Default::Kind::Str, 0, s}; }
inline Default empty_tuple() { return {Default::Kind::EmptyTuple}; }
inline Default boolean(bool v) { return {v ? Default::Kind::True : Default::Kind::False}; }

struct Param {
  const char* name;
  const char* annotation = nullptr;  // stored as a string, or none
  Check check = Check::None;
  Default default_value = {};
};

// The body receives the bound arguments in signature order (self or cls
// first); for a variable-positional signature the extra arguments come last,
// as a tuple.  It returns a new reference, or throws; NULL means only what it
// means in CPython: the call failed and left its exception set.
using Body = PyObject* (*)(PyObject* const* args);

enum class Kind : uint8_t { Method, ClassMethod, Property, Function };

struct FunctionDef {
  const char* name;
  Kind kind;
  std::vector<Param> params;
  const char* returns = nullptr;       // return annotation, or none
  const char* doc = nullptr;           // __doc__, or None
  Body body = nullptr;
  const char* varargs = nullptr;       // name of *args, or none
};

// A new callable for `def`; `owner` is the class name for members (it prefixes
// __qualname__) or nullptr for module functions.  `def` must outlive it.
Ref make_callable(const FunctionDef& def, const char* owner, const char* module);

// "Argument 'x' has incorrect type (expected int, got bool)..." as a TypeError.
[[noreturn]] void raise_argument_type(const char* name, PyTypeObject* expected, PyObject* got);

}  // namespace kalvex::py
