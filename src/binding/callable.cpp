#include "binding/callable.h"

#include <structmember.h>

#include <cstddef>
#include <string>

#include "binding/exception_boundary.h"

namespace kalvex::py {

namespace {

constexpr int kMaxParams = 8;

struct Callable {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  int n_params;
  int n_required;
  PyObject* names[kMaxParams];     // interned parameter names
  PyObject* defaults[kMaxParams];  // default object per parameter, or NULL
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults_tuple;  // __defaults__
  PyObject* annotations;     // __annotations__
  PyObject* signature;       // built on first use
};

Callable* as_callable(PyObject* obj) { return reinterpret_cast<Callable*>(obj); }

PyObject* expected_type(Check check) {
  switch (check) {
    case Check::Int:
    case Check::IntOrNone: return reinterpret_cast<PyObject*>(&PyLong_Type);
    case Check::FloatOrNone: return reinterpret_cast<PyObject*>(&PyFloat_Type);
    case Check::Str: return reinterpret_cast<PyObject*>(&PyUnicode_Type);
    case Check::Tuple: return reinterpret_cast<PyObject*>(&PyTuple_Type);
    case Check::None: break;
  }
  return nullptr;
}

bool passes(Check check, PyObject* value) {
  switch (check) {
    case Check::None: return true;
    case Check::Int: return PyLong_CheckExact(value);
    case Check::IntOrNone: return value == Py_None || PyLong_CheckExact(value);
    case Check::FloatOrNone: return value == Py_None || PyFloat_CheckExact(value);
    case Check::Str: return PyUnicode_CheckExact(value);
    case Check::Tuple: return PyTuple_CheckExact(value);
  }
  return true;
}

[[noreturn]] void too_many_positional(Callable* f, Py_ssize_t given) {
  const int defaults = f->n_params - f->n_required;
  std::string takes;
  bool plural;
  if (defaults > 0) {
    takes = "from " + std::to_string(f->n_required) + " to " + std::to_string(f->n_params);
    plural = true;
  } else {
    takes = std::to_string(f->n_params);
    plural = f->n_params != 1;
  }
  raise(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", f->qualname, takes.c_str(),
        plural ? "s" : "", given, given == 1 ? "was" : "were");
}

[[noreturn]] void missing_arguments(Callable* f, PyObject* const* bound) {
  std::vector<PyObject*> missing;
  for (int i = 0; i < f->n_params; ++i)
    if (bound[i] == nullptr) missing.push_back(f->names[i]);
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += "'" + std::string(PyUnicode_AsUTF8(missing[i])) + "'";
  }
  raise(PyExc_TypeError, "%U() missing %d required positional argument%s: %s", f->qualname,
        static_cast<int>(missing.size()), missing.size() == 1 ? "" : "s", list.c_str());
}

int find_parameter(Callable* f, PyObject* key) {
  for (int i = 0; i < f->n_params; ++i)
    if (f->names[i] == key) return i;
  for (int i = 0; i < f->n_params; ++i) {
    const int eq = PyUnicode_Compare(f->names[i], key);
    if (eq == 0) return i;
    if (eq == -1 && PyErr_Occurred()) throw_error_set();
  }
  return -1;
}

PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Callable* f = as_callable(self);
  return guarded([&]() -> PyObject* {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[kMaxParams + 1] = {};
    Ref extra;  // the tuple of a variable-positional signature
    const Py_ssize_t n_positional = std::min<Py_ssize_t>(nargs, f->n_params);
    if (nargs > f->n_params && f->def->varargs != nullptr) {
      extra = Ref::checked(PyTuple_New(nargs - f->n_params));
      for (Py_ssize_t i = f->n_params; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(extra.get(), i - f->n_params, args[i]);
      }
    }
    for (Py_ssize_t i = 0; i < n_positional; ++i) bound[i] = args[i];
    if (kwnames != nullptr) {
      const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const int index = find_parameter(f, key);
        if (index < 0) raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
        if (bound[index] != nullptr) raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
        bound[index] = args[nargs + k];
      }
    }
    // As CPython does: keyword errors first, then the count of positional arguments.
    if (nargs > f->n_params && f->def->varargs == nullptr) too_many_positional(f, nargs);
    bool complete = true;
    for (int i = 0; i < f->n_params; ++i) {
      if (bound[i] == nullptr) bound[i] = f->defaults[i];
      if (bound[i] == nullptr) complete = false;
    }
    if (!complete) missing_arguments(f, bound);
    for (int i = 0; i < f->n_params; ++i) {
      const Param& p = f->def->params[i];
      if (!passes(p.check, bound[i]))
        raise_argument_type(p.name, reinterpret_cast<PyTypeObject*>(expected_type(p.check)), bound[i]);
    }
    if (f->def->varargs != nullptr) {
      if (!extra) extra = Ref::checked(PyTuple_New(0));
      bound[f->n_params] = extra.get();
    }
    // Bodies call back into Python (overridden methods, forwarding functions),
    // and such calls can lead back here without a Python frame in between:
    // count the depth as a Python function call does.
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) throw_error_set();
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    PyObject* result = f->def->body(bound);
    if (result == nullptr) throw_error_set();  // SystemError should the body have set none
    return result;
  });
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* callable_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_callable(self)->qualname, self);
}

void callable_dealloc(PyObject* self) {
  Callable* f = as_callable(self);
  for (int i = 0; i < f->n_params; ++i) {
    Py_XDECREF(f->names[i]);
    Py_XDECREF(f->defaults[i]);
  }
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->module);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->defaults_tuple);
  Py_XDECREF(f->annotations);
  Py_XDECREF(f->signature);
  Py_TYPE(self)->tp_free(self);
}

PyObject* new_ref(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) { return new_ref(as_callable(self)->annotations); }

PyObject* build_signature(Callable* f) {
  Ref inspect = Ref::checked(PyImport_ImportModule("inspect"));
  Ref parameter_type = getattr(inspect.get(), "Parameter");
  Ref signature_type = getattr(inspect.get(), "Signature");
  Ref empty = getattr(parameter_type.get(), "empty");
  Ref positional_or_keyword = getattr(parameter_type.get(), "POSITIONAL_OR_KEYWORD");
  Ref var_positional = getattr(parameter_type.get(), "VAR_POSITIONAL");
  const int count = f->n_params + (f->def->varargs ? 1 : 0);
  Ref parameters = Ref::checked(PyList_New(0));
  for (int i = 0; i < count; ++i) {
    const bool is_varargs = i == f->n_params;
    Ref name = is_varargs ? Ref::checked(PyUnicode_FromString(f->def->varargs)) : Ref::borrow(f->names[i]);
    Ref kwargs = Ref::checked(PyDict_New());
    if (!is_varargs && f->defaults[i] != nullptr) PyDict_SetItemString(kwargs.get(), "default", f->defaults[i]);
    if (!is_varargs && f->def->params[i].annotation != nullptr) {
      Ref ann = Ref::checked(PyUnicode_FromString(f->def->params[i].annotation));
      PyDict_SetItemString(kwargs.get(), "annotation", ann.get());
    }
    Ref call_args = Ref::checked(PyTuple_Pack(2, name.get(), is_varargs ? var_positional.get() : positional_or_keyword.get()));
    Ref parameter = Ref::checked(PyObject_Call(parameter_type.get(), call_args.get(), kwargs.get()));
    if (PyList_Append(parameters.get(), parameter.get()) < 0) throw_error_set();
  }
  Ref kwargs = Ref::checked(PyDict_New());
  if (f->def->returns != nullptr) {
    Ref ret = Ref::checked(PyUnicode_FromString(f->def->returns));
    PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get());
  }
  Ref call_args = Ref::checked(PyTuple_Pack(1, parameters.get()));
  return PyObject_Call(signature_type.get(), call_args.get(), kwargs.get());
}

PyObject* get_signature(PyObject* self, void*) {
  Callable* f = as_callable(self);
  if (f->signature == nullptr) {
    f->signature = guarded([&] { return build_signature(f); });
    if (f->signature == nullptr) return nullptr;
  }
  return new_ref(f->signature);
}

PyMemberDef callable_members[] = {
    {"__name__", T_OBJECT, offsetof(Callable, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Callable, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Callable, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Callable, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Callable, defaults_tuple), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef callable_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* callable_type() {
  static PyTypeObject type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "varnix.orvo.kalvex.function";
    t.tp_basicsize = sizeof(Callable);
    t.tp_dealloc = callable_dealloc;
    t.tp_vectorcall_offset = offsetof(Callable, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_repr = callable_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_members = callable_members;
    t.tp_getset = callable_getset;
    t.tp_descr_get = descr_get;
    return t;
  }();
  static const bool ready = PyType_Ready(&type) == 0;
  if (!ready) throw_error_set();
  return &type;
}

Ref default_object(const Default& d) {
  switch (d.kind) {
    case Default::Kind::Required: return Ref();
    case Default::Kind::None: return Ref::borrow(Py_None);
    case Default::Kind::Int: return Ref::checked(PyLong_FromLongLong(d.int_value));
    case Default::Kind::Str: return Ref::checked(PyUnicode_InternFromString(d.str_value));
    case Default::Kind::EmptyTuple: return Ref::checked(PyTuple_New(0));
    case Default::Kind::False: return Ref::borrow(Py_False);
    case Default::Kind::True: return Ref::borrow(Py_True);
  }
  return Ref();
}

}  // namespace

void raise_argument_type(const char* name, PyTypeObject* expected, PyObject* got) {
  const bool subclass = PyObject_TypeCheck(got, expected);
  Ref note = Ref::checked(PyUnicode_FromString(subclass ? "This check refuses subclasses of built-in types." : ""));
  raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", name,
        expected->tp_name, Py_TYPE(got)->tp_name, subclass ? ". " : "", note.get());
}

Ref make_callable(const FunctionDef& def, const char* owner, const char* module) {
  PyTypeObject* type = callable_type();
  if (def.params.size() > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters");
    throw_error_set();
  }
  Ref obj = Ref::checked(PyType_GenericAlloc(type, 0));
  Callable* f = as_callable(obj.get());
  f->vectorcall = call;
  f->def = &def;
  f->n_params = static_cast<int>(def.params.size());
  f->n_required = 0;
  Ref defaults_list = Ref::checked(PyList_New(0));
  Ref annotations = Ref::checked(PyDict_New());
  for (int i = 0; i < f->n_params; ++i) {
    const Param& p = def.params[i];
    f->names[i] = PyUnicode_InternFromString(p.name);
    if (f->names[i] == nullptr) throw_error_set();
    f->defaults[i] = default_object(p.default_value).release();
    if (f->defaults[i] == nullptr) {
      ++f->n_required;
    } else if (PyList_Append(defaults_list.get(), f->defaults[i]) < 0) {
      throw_error_set();
    }
    if (p.annotation != nullptr) {
      Ref ann = Ref::checked(PyUnicode_FromString(p.annotation));
      if (PyDict_SetItem(annotations.get(), f->names[i], ann.get()) < 0) throw_error_set();
    }
  }
  if (def.returns != nullptr) {
    Ref ann = Ref::checked(PyUnicode_FromString(def.returns));
    if (PyDict_SetItemString(annotations.get(), "return", ann.get()) < 0) throw_error_set();
  }
  f->annotations = annotations.release();
  f->defaults_tuple = PyList_GET_SIZE(defaults_list.get()) == 0 ? (Py_INCREF(Py_None), Py_None)
                                                                 : PyList_AsTuple(defaults_list.get());
  if (f->defaults_tuple == nullptr) throw_error_set();
  f->name = PyUnicode_InternFromString(def.name);
  f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner, def.name) : PyUnicode_FromString(def.name);
  f->module = PyUnicode_InternFromString(module);
  f->doc = def.doc ? PyUnicode_FromString(def.doc) : (Py_INCREF(Py_None), Py_None);
  if (!f->name || !f->qualname || !f->module || !f->doc) throw_error_set();
  return obj;
}

}  // namespace kalvex::py
