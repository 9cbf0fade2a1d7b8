#include "binding/ints.h"

#include <structmember.h>

#include <vector>

#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "core/construct.h"

namespace kalvex::py {

ExactInt exact_int(PyObject* obj) {
  ExactInt out;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  if (!overflow) {
    out.value = v;
    return out;
  }
  out.small = false;
  // Magnitude as little-endian bytes, imported into GMP.
  Ref magnitude = Ref::checked(PyNumber_Absolute(obj));
  const size_t bits = _PyLong_NumBits(magnitude.get());
  std::vector<unsigned char> bytes(bits / 8 + 1);
#if PY_VERSION_HEX >= 0x030D0000
  if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(magnitude.get()), bytes.data(), bytes.size(), 1, 0, 1) < 0)
#else
  if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(magnitude.get()), bytes.data(), bytes.size(), 1, 0) < 0)
#endif
    throw_error_set();
  mpz_import(out.big.get(), bytes.size(), -1, 1, 0, 0, bytes.data());
  if (_PyLong_Sign(obj) < 0) mpz_neg(out.big.get(), out.big.get());
  return out;
}

int64_t int_argument(PyObject* obj) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  return v;
}

bool rational_parts(PyObject* obj, ExactInt& num, ExactInt& den) {
  if (PyLong_Check(obj)) {
    num = exact_int(obj);
    den = ExactInt{};
    den.value = 1;
    return true;
  }
  static PyObject* rational = [] {
    Ref numbers = Ref::checked(PyImport_ImportModule("numbers"));
    return getattr(numbers.get(), "Rational").release();
  }();
  const int found = PyObject_IsInstance(obj, rational);
  if (found < 0) throw_error_set();
  if (found == 0) return false;
  Ref n = Ref::checked(PyNumber_Index(getattr(obj, "numerator").get()));
  Ref d = Ref::checked(PyNumber_Index(getattr(obj, "denominator").get()));
  num = exact_int(n.get());
  den = exact_int(d.get());
  return true;
}

BigInt to_bigint(const ExactInt& v) { return v.small ? BigInt::from_int64(v.value) : v.big; }

RationalTensor exact_fraction(const ExactInt& num, const ExactInt& denom, at::IntArrayRef shape,
                              const at::Device& device) {
  if (num.small && denom.small) return from_fraction(num.value, denom.value, shape, device);
  return from_fraction(to_bigint(num), to_bigint(denom), shape, device);
}

Ref from_bigint(const BigInt& value) { return from_mpz(value.get()); }

Ref from_mpz(mpz_srcptr value) {
  if (mpz_fits_slong_p(value)) return Ref::checked(PyLong_FromLong(mpz_get_si(value)));
  size_t count = 0;
  std::vector<unsigned char> bytes((mpz_sizeinbase(value, 2) + 7) / 8 + 1);
  mpz_export(bytes.data(), &count, -1, 1, 0, 0, value);
  Ref magnitude = Ref::checked(_PyLong_FromByteArray(bytes.data(), count, 1, 0));
  if (mpz_sgn(value) < 0) return Ref::checked(PyNumber_Negative(magnitude.get()));
  return magnitude;
}

namespace {

// Fraction keeps its halves in two slots; where they are found, a reduced
// pair is stored there directly (Fraction(n, d) would take a gcd again).
struct FractionClass {
  PyTypeObject* type = nullptr;
  Py_ssize_t num_offset = -1, den_offset = -1;
};

Py_ssize_t slot_offset(PyTypeObject* type, const char* name) {
  PyObject* descr = PyDict_GetItemString(type->tp_dict, name);
  if (descr == nullptr || !PyObject_TypeCheck(descr, &PyMemberDescr_Type)) return -1;
  const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  return member->type == T_OBJECT_EX || member->type == T_OBJECT ? member->offset : -1;
}

const FractionClass& fraction_class() {
  static FractionClass* cls = nullptr;
  if (cls == nullptr) {
    Ref module = Ref::checked(PyImport_ImportModule("fractions"));
    Ref type = getattr(module.get(), "Fraction");
    if (!PyType_Check(type.get())) raise(PyExc_TypeError, "fractions.Fraction is not a class");
    auto* found = new FractionClass;
    found->type = reinterpret_cast<PyTypeObject*>(type.release());
    found->num_offset = slot_offset(found->type, "_numerator");
    found->den_offset = slot_offset(found->type, "_denominator");
    cls = found;
  }
  return *cls;
}

}  // namespace

Ref make_fraction(Ref num, Ref den) {
  const FractionClass& cls = fraction_class();
  if (cls.num_offset < 0 || cls.den_offset < 0) {
    PyObject* type = reinterpret_cast<PyObject*>(cls.type);
    return Ref::checked(PyObject_CallFunctionObjArgs(type, num.get(), den.get(), nullptr));
  }
  Ref obj = Ref::checked(cls.type->tp_alloc(cls.type, 0));
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.get()) + cls.num_offset) = num.release();
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.get()) + cls.den_offset) = den.release();
  return obj;
}

}  // namespace kalvex::py
