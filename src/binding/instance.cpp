#include "binding/instance.h"

#include <structmember.h>

#include "binding/exception_boundary.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/tensors.h"

namespace kalvex::py {

namespace {

constexpr const char* kFieldNames[5] = {"num", "denom", "primes", "device", "_approx"};

int index(Field f) { return static_cast<int>(f); }

}  // namespace

ModuleState& state() {
  static ModuleState s;
  return s;
}

void bind_class(PyTypeObject* cls) {
  ModuleState& s = state();
  s.cls = cls;
  for (int i = 0; i < 5; ++i) {
    s.field_names[i] = PyUnicode_InternFromString(kFieldNames[i]);
    if (s.field_names[i] == nullptr) throw_error_set();
    PyObject* descr = PyDict_GetItemWithError(cls->tp_dict, s.field_names[i]);
    if (descr == nullptr || !PyObject_TypeCheck(descr, &PyMemberDescr_Type)) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "slot %s not found", kFieldNames[i]);
      throw_error_set();
    }
    s.offsets[i] = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset;
  }
}

Ref read_field(PyObject* obj, Field field) {
  const ModuleState& s = state();
  if (Py_TYPE(obj) == s.cls) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + s.offsets[index(field)]);
    if (value == nullptr)
      raise(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(obj)->tp_name,
            kFieldNames[index(field)]);
    return Ref::borrow(value);
  }
  return getattr(obj, s.field_names[index(field)]);
}

void write_field(PyObject* obj, Field field, PyObject* value) {
  const ModuleState& s = state();
  if (Py_TYPE(obj) == s.cls) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + s.offsets[index(field)]);
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return;
  }
  if (PyObject_SetAttr(obj, s.field_names[index(field)], value) < 0) throw_error_set();
}

at::Tensor tensor_field(PyObject* obj, Field field) {
  Ref value = read_field(obj, field);
  if (!is_tensor(value.get()))
    raise(PyExc_TypeError, "ModularTensor attribute '%s' must be a torch.Tensor, got %.200s",
          kFieldNames[index(field)], Py_TYPE(value.get())->tp_name);
  return unpack_tensor(value.get());
}

c10::optional<at::Tensor> approx_field(PyObject* obj) {
  Ref value = read_field(obj, Field::Approx);
  if (value.get() == Py_None) return c10::nullopt;
  if (!is_tensor(value.get()))
    raise(PyExc_TypeError, "ModularTensor attribute '_approx' must be a torch.Tensor or None, got %.200s",
          Py_TYPE(value.get())->tp_name);
  return unpack_tensor(value.get());
}

RationalTensor load(PyObject* obj, SlotOrder order) {
  RationalTensor r;
  for (const Field field : order) {
    switch (field) {
      case Field::Num: r.num = tensor_field(obj, field); break;
      case Field::Denom: r.denom = tensor_field(obj, field); break;
      case Field::Primes: r.primes = tensor_field(obj, field); break;
      case Field::Approx: r.approx = approx_field(obj); break;
      case Field::Device: break;
    }
  }
  attach_bounds(r);
  return r;
}

RationalTensor load_residues(PyObject* obj) { return load(obj, kResidueSlots); }

Ref make_instance(const RationalTensor& value) {
  const ModuleState& s = state();
  remember_bounds(value);
  Ref num = wrap_tensor(value.num);
  Ref denom = wrap_tensor(value.denom);
  Ref primes = wrap_tensor(value.primes);
  Ref device = wrap_device(value.num.device());
  Ref approx = value.approx ? wrap_tensor(*value.approx) : Ref::borrow(Py_None);
  Ref obj = Ref::checked(s.cls->tp_alloc(s.cls, 0));
  PyObject* fields[5] = {num.release(), denom.release(), primes.release(), device.release(), approx.release()};
  for (int i = 0; i < 5; ++i)
    *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.get()) + s.offsets[i]) = fields[i];
  return obj;
}

Ref make_instance_of(PyObject* cls, const RationalTensor& value) {
  if (is_exact_class(cls)) return make_instance(value);
  remember_bounds(value);
  Ref num = wrap_tensor(value.num);
  Ref denom = wrap_tensor(value.denom);
  Ref primes = wrap_tensor(value.primes);
  Ref approx = value.approx ? wrap_tensor(*value.approx) : Ref::borrow(Py_None);
  PyObject* args[4] = {num.get(), denom.get(), primes.get(), approx.get()};
  return Ref::checked(PyObject_Vectorcall(cls, args, 4, nullptr));
}

std::vector<int64_t> user_shape(PyObject* obj) {
  if (is_exact_instance(obj)) {
    const at::Tensor num = tensor_field(obj, Field::Num);
    auto sizes = num.dim() == 0 ? num.sizes() : num.sizes().slice(1);
    return std::vector<int64_t>(sizes.begin(), sizes.end());
  }
  Ref shape = getattr(obj, "shape");
  Ref seq = Ref::checked(PySequence_Tuple(shape.get()));
  std::vector<int64_t> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i)
    out.push_back(int_argument(PyTuple_GET_ITEM(seq.get(), i)));
  return out;
}

at::Device instance_device(PyObject* obj) {
  Ref device = read_field(obj, Field::Device);
  return device_of_object(device.get());
}

}  // namespace kalvex::py
