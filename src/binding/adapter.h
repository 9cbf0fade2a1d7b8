#pragma once
// Members whose body is data.  A table row (members.cpp) names the core
// function, and member<core> does the rest the same way for all of them:
//   1. the arguments that are not operands are converted by the type the
//      core takes (int64_t: an integer argument; optional<int64_t>: None or one),
//   2. the operands (const RationalTensor&) are loaded, in order, each
//      reading its slots in the declared order,
//   3. the core runs without the GIL when the residue work is large,
//   4. its result is wrapped: a RationalTensor as a new instance, a tensor as
//      a tensor, an empty optional as self.
// Members with behaviour of their own (number operands, subclass overrides,
// torch's own argument parsing, several results) keep a hand-written body.
#include <tuple>
#include <type_traits>

#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/tensors.h"

namespace kalvex::py {

namespace adapter {

// One parameter of the core function, first converted, then loaded.
template <typename Param, typename = void>
struct Argument {
  std::decay_t<Param> value;
  void convert(PyObject* obj) {
    using Value = std::decay_t<Param>;
    if constexpr (std::is_same_v<Value, int64_t>) {
      value = int_argument(obj);
    } else {
      static_assert(std::is_same_v<Value, c10::optional<int64_t>>, "no conversion for this parameter type");
      if (obj != Py_None) value = int_argument(obj);
    }
  }
  void load(PyObject*, SlotOrder) {}
  int64_t elements() const { return 0; }
};

template <typename Param>
struct Argument<Param, std::enable_if_t<std::is_same_v<std::decay_t<Param>, RationalTensor>>> {
  RationalTensor value;
  void convert(PyObject*) {}
  void load(PyObject* obj, SlotOrder order) { value = py::load(obj, order); }
  int64_t elements() const { return value.num.numel(); }
};

inline PyObject* wrapped(PyObject*, const RationalTensor& value) { return make_instance(value).release(); }
inline PyObject* wrapped(PyObject*, const at::Tensor& value) { return wrap_tensor(value).release(); }
inline PyObject* wrapped(PyObject* self, const c10::optional<RationalTensor>& value) {
  return value ? make_instance(*value).release() : Ref::borrow(self).release();
}

template <typename Result, typename... Params>
PyObject* call(Result (*core)(Params...), SlotOrder order, PyObject* const* args) {
  std::tuple<Argument<Params>...> params;
  std::apply([&](auto&... p) {
    PyObject* const* arg = args;
    (p.convert(*arg++), ...);
  }, params);
  std::apply([&](auto&... p) {
    PyObject* const* arg = args;
    (p.load(*arg++, order), ...);
  }, params);
  const int64_t elements = std::apply([](const auto&... p) { return (p.elements() + ...); }, params);
  const Result result =
      without_gil(elements > kReleaseGilElements, [&] { return std::apply([&](const auto&... p) { return core(p.value...); }, params); });
  return wrapped(args[0], result);
}

}  // namespace adapter

// The body of a member that is its core function; the operands read the
// slots `Order` (all four in slot order when none are named).
template <auto Core, Field... Order>
PyObject* member(PyObject* const* args) {
  if constexpr (sizeof...(Order) == 0) {
    return adapter::call(Core, kSlots, args);
  } else {
    return adapter::call(Core, {Order...}, args);
  }
}

}  // namespace kalvex::py
