// Values to and from the host, element by element: from_rationals, tolist,
// item, float() and int().
#include <ATen/ExpandUtils.h>

#include <limits>

#include "binding/bodies.h"
#include "binding/elements.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/ints.h"
#include "binding/known_sizes.h"
#include "binding/tensors.h"
#include "core/checks.h"
#include "core/construct.h"
#include "reconstruct/scalar.h"

namespace kalvex::py {

RationalTensor checked_residues(PyObject* self) {
  RationalTensor x = load_residues(self);
  check_residues(x);
  if (!x.num.sizes().equals(x.denom.sizes())) {
    const std::vector<int64_t> sizes = at::infer_size(x.num.sizes(), x.denom.sizes());
    x.num = x.num.expand(sizes);
    x.denom = x.denom.expand(sizes);
  }
  return x;
}

RationalTensor checked_values(PyObject* self) {
  RationalTensor x = checked_residues(self);
  x.approx = approx_field(self);
  if (x.approx && !x.approx->sizes().equals(x.shape())) x.approx = c10::nullopt;
  return x;
}

Ref element_object(const ElementValues::Reading& r) {
  if (!r.readable) raise(PyExc_OverflowError, "%s", kUnreadableMessage);
  if (!r.small) return make_fraction(from_mpz(mpq_numref(r.big)), from_mpz(mpq_denref(r.big)));
  if (r.den == 0) raise(PyExc_ZeroDivisionError, "Fraction(%lld, 0)", static_cast<long long>(r.num));
  return make_fraction(Ref::checked(PyLong_FromLongLong(r.num)), Ref::checked(PyLong_FromLongLong(r.den)));
}

std::vector<ElementValues::Reading> read_all(ElementValues& values) {
  std::vector<ElementValues::Reading> out(static_cast<size_t>(values.size()));
  AllowThreads unlocked(values.size() > 4096);
  for (int64_t k = 0; k < values.size(); ++k) out[static_cast<size_t>(k)] = values.reading(k);
  return out;
}

}  // namespace kalvex::py

namespace kalvex::py::body {

namespace {

// ---- from_rationals ------------------------------------------------------

bool is_nested(PyObject* obj) { return PyList_Check(obj) || PyTuple_Check(obj); }

// Nested lists (or tuples) of rationals, read as torch.tensor reads nested
// data: the shape from the first entries, every other entry checked against it.
class RationalsReader {
 public:
  explicit RationalsReader(PyObject* data) {
    for (PyObject* obj = data; is_nested(obj);) {
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
      shape_.push_back(n);
      if (n == 0) break;
      obj = PySequence_Fast_ITEMS(obj)[0];
    }
    read(data, 0);
  }

  const std::vector<int64_t>& shape() const { return shape_; }
  const HostFractions& values() const { return values_; }

 private:
  void read(PyObject* obj, size_t dim) {
    if (dim == shape_.size()) return element(obj);
    if (!is_nested(obj)) raise(PyExc_TypeError, "not a sequence");
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    if (n != shape_[dim])
      raise(PyExc_ValueError, "expected sequence of length %lld at dim %zu (got %zd)",
            static_cast<long long>(shape_[dim]), dim, n);
    // Reading an item may run Python code (a Rational's properties), which
    // may change the list: each item is held while it is read.
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PySequence_Fast_GET_SIZE(obj) != n) raise(PyExc_RuntimeError, "list changed size during iteration");
      Ref item = Ref::borrow(PySequence_Fast_ITEMS(obj)[i]);
      read(item.get(), dim + 1);
    }
  }

  void element(PyObject* obj) {
    ExactInt num, den;
    if (is_nested(obj) || !rational_parts(obj, num, den))
      raise(PyExc_TypeError,
            "from_rationals(): invalid data type '%.200s' (expected int or a rational such as fractions.Fraction)",
            Py_TYPE(obj)->tp_name);
    append(num, den);
  }

  void append(const ExactInt& num, const ExactInt& den) {
    if (den.small && den.value == 0) raise(PyExc_ZeroDivisionError, "division by zero");
    if (num.small && den.small) {
      values_.num.push_back(num.value);
      values_.den.push_back(den.value);
      return;
    }
    values_.large.push_back({values_.num.size(), to_bigint(num), to_bigint(den)});
    values_.num.push_back(0);
    values_.den.push_back(0);
  }

  std::vector<int64_t> shape_;
  HostFractions values_;
};

// ---- reading out ----------------------------------------------------------

// Elements as Fractions, the denominator object shared while it repeats
// (captured floats mostly have one).
class FractionMaker {
 public:
  Ref operator()(const ElementValues::Reading& r) {
    if (!r.readable || !r.small || r.den == 0) return element_object(r);
    if (!den_ || r.den != den_value_) {
      den_ = Ref::checked(PyLong_FromLongLong(r.den));
      den_value_ = r.den;
    }
    return make_fraction(Ref::checked(PyLong_FromLongLong(r.num)), den_);
  }

 private:
  Ref den_;
  int64_t den_value_ = 0;
};

Ref nested_list(const std::vector<ElementValues::Reading>& readings, at::IntArrayRef shape, size_t dim,
                size_t& next, FractionMaker& make) {
  if (dim == shape.size()) return make(readings[next++]);
  Ref list = Ref::checked(PyList_New(shape[dim]));
  for (int64_t i = 0; i < shape[dim]; ++i)
    PyList_SET_ITEM(list.get(), i, nested_list(readings, shape, dim + 1, next, make).release());
  return list;
}

// The one element of self, read exactly (a Value error for any other count).
struct OnlyElement {
  explicit OnlyElement(PyObject* self) : x(checked_residues(self)) {
    if (x.num.numel() != x.num.size(0))
      raise(PyExc_ValueError, "only one element tensors can be converted to Python scalars");
    values = std::make_unique<ElementValues>(x);
    reading = values->reading(0);
    if (!reading.readable) raise(PyExc_OverflowError, "%s", kUnreadableMessage);
    if (reading.small && reading.den == 0) raise(PyExc_ZeroDivisionError, "division by zero");
  }
  BigInt num() const {
    BigInt out;
    if (reading.small) return BigInt::from_int64(reading.num);
    mpz_set(out.get(), mpq_numref(reading.big));
    return out;
  }
  BigInt den() const {
    BigInt out;
    if (reading.small) return BigInt::from_int64(reading.den);
    mpz_set(out.get(), mpq_denref(reading.big));
    return out;
  }

  RationalTensor x;
  std::unique_ptr<ElementValues> values;
  ElementValues::Reading reading;
};

}  // namespace

PyObject* from_rationals(PyObject* const* args) {
  const at::Device device = parse_device(args[2]);
  const RationalsReader reader(args[1]);  // a scalar has shape ()
  return make_instance_of(args[0], from_host_fractions(reader.values(), reader.shape(), device)).release();
}

PyObject* tolist(PyObject* const* args) {
  const RationalTensor x = checked_residues(args[0]);
  ElementValues values(x);
  const std::vector<ElementValues::Reading> readings = read_all(values);
  // Many new tracked objects would set off collections that find nothing
  // to free among them: the collector waits until the list is built.
  const int collecting = PyGC_Disable();
  size_t next = 0;
  FractionMaker make;
  Ref list;
  try {
    list = nested_list(readings, x.shape(), 0, next, make);
  } catch (...) {
    if (collecting) PyGC_Enable();
    throw;
  }
  if (collecting) PyGC_Enable();
  return list.release();
}

PyObject* item(PyObject* const* args) {
  const OnlyElement one(args[0]);
  return element_object(one.reading).release();
}

PyObject* dunder_float(PyObject* const* args) {
  const OnlyElement one(args[0]);
  constexpr int64_t kExact = int64_t{1} << 53;
  const ElementValues::Reading& r = one.reading;
  if (r.small && r.num > -kExact && r.num < kExact && r.den < kExact)
    return PyFloat_FromDouble(static_cast<double>(r.num) / static_cast<double>(r.den));
  return PyFloat_FromDouble(true_divide(one.num(), one.den()));
}

PyObject* dunder_int(PyObject* const* args) {
  const OnlyElement one(args[0]);
  if (one.reading.small) return PyLong_FromLongLong(one.reading.num / one.reading.den);  // truncates toward 0
  BigInt quotient;
  mpz_tdiv_q(quotient.get(), mpq_numref(one.reading.big), mpq_denref(one.reading.big));
  return from_bigint(quotient).release();
}

}  // namespace kalvex::py::body

namespace kalvex::py::body {

PyObject* dunder_bool(PyObject* const* args) {
  int64_t count = 1;
  for (int64_t n : user_shape(args[0])) count *= n;
  if (count == 0) raise(PyExc_RuntimeError, "Boolean value of Tensor with no values is ambiguous");
  if (count > 1) raise(PyExc_RuntimeError, "Boolean value of Tensor with more than one value is ambiguous");
  return any(args);
}

}  // namespace kalvex::py::body
