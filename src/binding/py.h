#pragma once
// Owned references to Python objects, and the marker for "a Python error is set".
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace kalvex::py {

// Thrown when a CPython call failed and left its exception set; the entry point
// returns NULL with that exception untouched.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error_set() { throw ErrorAlreadySet{}; }

// An owned (strong) reference; releases it when it goes out of scope.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* obj) { return Ref(obj); }
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  // Steals `obj`, which a CPython call just returned; NULL means its error is set.
  static Ref checked(PyObject* obj) {
    if (obj == nullptr) throw_error_set();
    return Ref(obj);
  }
  Ref(const Ref& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

inline Ref getattr(PyObject* obj, const char* name) { return Ref::checked(PyObject_GetAttrString(obj, name)); }
inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::checked(PyObject_GetAttr(obj, name)); }

// obj.<method>(args...), looked up and called as Python would.
inline Ref call_method(PyObject* obj, const char* method, std::initializer_list<PyObject*> args = {}) {
  Ref name = Ref::checked(PyUnicode_FromString(method));
  std::vector<PyObject*> call_args{obj};
  call_args.insert(call_args.end(), args.begin(), args.end());
  return Ref::checked(PyObject_VectorcallMethod(name.get(), call_args.data(), call_args.size(), nullptr));
}

}  // namespace kalvex::py

namespace kalvex::py {

// Lets other Python threads run while large tensor work proceeds in C++ (no
// Python object may be touched meanwhile).  Small work keeps the GIL: the
// hand-over would cost more than it frees.
class AllowThreads {
 public:
  explicit AllowThreads(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~AllowThreads() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// Element counts above which the residue work is worth releasing the GIL for.
constexpr int64_t kReleaseGilElements = int64_t{1} << 16;

// compute() (C++ only: it may touch no Python object) without the GIL when
// `release`; its result is made before the GIL is taken back.
template <typename F>
auto without_gil(bool release, F&& compute) -> decltype(compute()) {
  AllowThreads unlocked(release);
  return compute();
}

}  // namespace kalvex::py
