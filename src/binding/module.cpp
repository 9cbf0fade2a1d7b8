// Module initialisation: imports, the prime basis, the class, the functions
// and __all__, bound in that order.  The environment is read here, once:
// KALVEX_GENERIC_PATHS=1 sends CPU tensors down the paths of other devices
// (core/paths.h), for tests of those paths on machines without one.
#include <cstdlib>
#include <cstring>

#include "binding/callable.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/members.h"
#include "binding/tensors.h"
#include "core/basis.h"
#include "core/paths.h"
#include "core/standard_basis.h"

namespace kalvex::py {

namespace {

constexpr const char* kModuleName = "varnix.orvo.kalvex";
constexpr const char* kClassName = "ModularTensor";

constexpr const char* kAll[] = {
    "PRIMES", "N_PRIMES", "ModularTensor", "modular_sum", "modular_dot", "modular_abs", "modular_max",
    "modular_min", "modular_argmax", "modular_argmin", "modular_relu", "modular_clamp", "modular_var",
    "modular_std", "modular_norm", "modular_prod", "modular_pow", "modular_sign", "modular_reciprocal",
    "modular_square", "exp_taylor", "sin_taylor", "cos_taylor", "log1p_taylor", "sqrt_taylor", "sqrt_newton"};

void set(PyObject* module, const char* name, Ref value) {
  if (PyModule_AddObjectRef(module, name, value.get()) < 0) throw_error_set();
}

Ref make_primes(PyObject* torch) {
  Ref values = Ref::checked(PyList_New(kNumPrimes));
  for (int i = 0; i < kNumPrimes; ++i) PyList_SET_ITEM(values.get(), i, PyLong_FromLongLong(kStandardPrimes[i]));
  Ref tensor_fn = getattr(torch, "tensor");
  Ref int64 = getattr(torch, "int64");
  Ref args = Ref::checked(PyTuple_Pack(1, values.get()));
  Ref kwargs = Ref::checked(Py_BuildValue("{s:O}", "dtype", int64.get()));
  return Ref::checked(PyObject_Call(tensor_fn.get(), args.get(), kwargs.get()));
}

// The class, made as a class statement makes it: type(name, (object,), namespace).
Ref make_class() {
  Ref ns = Ref::checked(PyDict_New());
  Ref module_name = Ref::checked(PyUnicode_FromString(kModuleName));
  Ref qualname = Ref::checked(PyUnicode_FromString(kClassName));
  Ref doc = Ref::checked(PyUnicode_FromString(kClassDoc));
  Ref slots = Ref::checked(Py_BuildValue("(sssss)", "num", "denom", "primes", "device", "_approx"));
  PyDict_SetItemString(ns.get(), "__module__", module_name.get());
  PyDict_SetItemString(ns.get(), "__qualname__", qualname.get());
  PyDict_SetItemString(ns.get(), "__doc__", doc.get());
  PyDict_SetItemString(ns.get(), "__slots__", slots.get());
  for (const FunctionDef& def : class_members()) {
    Ref member = make_callable(def, kClassName, kModuleName);
    if (def.kind == Kind::ClassMethod) {
      member = Ref::checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyClassMethod_Type), member.get()));
    } else if (def.kind == Kind::Property) {
      member = Ref::checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), member.get()));
    }
    if (PyDict_SetItemString(ns.get(), def.name, member.get()) < 0) throw_error_set();
  }
  Ref bases = Ref::checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref name = Ref::checked(PyUnicode_FromString(kClassName));
  Ref args = Ref::checked(PyTuple_Pack(3, name.get(), bases.get(), ns.get()));
  return Ref::checked(PyObject_Call(reinterpret_cast<PyObject*>(&PyType_Type), args.get(), nullptr));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, kModuleName, nullptr, -1, nullptr};

PyObject* init_module() {
  module_def.m_doc = kModuleDoc;
  Ref module = Ref::checked(PyModule_Create(&module_def));
  PyObject* m = module.get();

  Ref torch = Ref::checked(PyImport_ImportModule("torch"));
  set(m, "torch", torch);
  Ref typing = Ref::checked(PyImport_ImportModule("typing"));
  for (const char* name : {"Union", "List", "Tuple", "Optional"}) set(m, name, getattr(typing.get(), name));

  Ref primes = make_primes(torch.get());
  state().primes = Ref(primes).release();
  set_standard_primes(unpack_tensor(primes.get()));
  const char* generic = std::getenv("KALVEX_GENERIC_PATHS");
  set_generic_paths(generic != nullptr && std::strcmp(generic, "1") == 0);
  set(m, "PRIMES", primes);
  set(m, "N_PRIMES", Ref::checked(PyLong_FromSsize_t(PyObject_Length(primes.get()))));

  Ref cls = make_class();
  bind_class(reinterpret_cast<PyTypeObject*>(Ref(cls).release()));
  set(m, kClassName, cls);

  for (const FunctionDef& def : module_functions()) set(m, def.name, make_callable(def, nullptr, kModuleName));

  Ref all = Ref::checked(PyList_New(0));
  for (const char* name : kAll) {
    Ref item = Ref::checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), item.get()) < 0) throw_error_set();
  }
  set(m, "__all__", all);
  return module.release();
}

}  // namespace

}  // namespace kalvex::py

PyMODINIT_FUNC PyInit_kalvex() {
  return kalvex::py::guarded([] { return kalvex::py::init_module(); });
}
