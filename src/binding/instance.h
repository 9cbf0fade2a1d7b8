#pragma once
// The ModularTensor class object, its five slots, and the passage between
// instances and the core's RationalTensor.
#include <ATen/core/Tensor.h>

#include <initializer_list>

#include "binding/py.h"
#include "core/rational_tensor.h"

namespace kalvex::py {

enum class Field { Num, Denom, Primes, Device, Approx };

struct ModuleState {
  PyTypeObject* cls = nullptr;    // ModularTensor
  Py_ssize_t offsets[5] = {};     // slot offsets, by Field
  PyObject* field_names[5] = {};  // interned slot names, by Field
  PyObject* primes = nullptr;     // the PRIMES tensor object
};

ModuleState& state();

// Whether obj is a ModularTensor itself, not a subclass (whose methods may
// be overridden) nor a duck-typed operand: its slots are read directly.
inline bool is_exact_instance(PyObject* obj) { return Py_TYPE(obj) == state().cls; }
// The subclass-override rule: a subclass's own `method` (or a duck-typed
// object's), looked up and called as Python would, runs instead of the
// member's body; nothing is called for ModularTensor itself.
inline Ref overridden(PyObject* self, const char* method, std::initializer_list<PyObject*> args = {}) {
  return is_exact_instance(self) ? Ref() : call_method(self, method, args);
}
// Whether cls is the ModularTensor class itself.
inline bool is_exact_class(PyObject* cls) { return cls == reinterpret_cast<PyObject*>(state().cls); }

// Whether the residue work on x is worth releasing the GIL for.
inline bool large(const RationalTensor& x) { return x.num.numel() > kReleaseGilElements; }

// Locates the slots of the freshly created class.
void bind_class(PyTypeObject* cls);

// The attribute `field` of obj: the slot itself for an exact ModularTensor,
// ordinary attribute access for anything else (so duck-typed operands and
// subclasses behave as attribute reads do).
Ref read_field(PyObject* obj, Field field);
void write_field(PyObject* obj, Field field, PyObject* value);

// A tensor-valued field; anything else stored there is a TypeError.
at::Tensor tensor_field(PyObject* obj, Field field);
// `_approx`: None -> nullopt.
c10::optional<at::Tensor> approx_field(PyObject* obj);

// The slots a member reads of an operand, in the order it reads them: for a
// duck-typed operand or a subclass each read is an attribute access, so the
// order is part of the member's behaviour.
using SlotOrder = std::initializer_list<Field>;
constexpr SlotOrder kSlots = {Field::Num, Field::Denom, Field::Primes, Field::Approx};
constexpr SlotOrder kResidueSlots = {Field::Num, Field::Denom, Field::Primes};

// The tensors of an instance (or duck-typed operand) read in `order`, with
// the sizes of its integers (NOTE: [Size bounds across Python]); a slot not
// named is not read.
RationalTensor load(PyObject* obj, SlotOrder order = kSlots);
// The same without the approximation slot.
RationalTensor load_residues(PyObject* obj);

// A new exact ModularTensor holding `value`; the device slot is num's device.
Ref make_instance(const RationalTensor& value);
// A new instance of `cls` built as cls(num, denom, primes, approx): the direct
// path for ModularTensor itself, a real call for a subclass.
Ref make_instance_of(PyObject* cls, const RationalTensor& value);

// The user shape and device of an instance, as the `shape` property and the
// `device` slot give them.
std::vector<int64_t> user_shape(PyObject* obj);
at::Device instance_device(PyObject* obj);

}  // namespace kalvex::py
