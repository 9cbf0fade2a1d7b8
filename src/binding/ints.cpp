#include "binding/ints.h"

#include <vector>

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

BigInt to_bigint(const ExactInt& v) { return v.small ? BigInt::from_int64(v.value) : v.big; }

RationalTensor exact_fraction(const ExactInt& num, const ExactInt& denom, at::IntArrayRef shape,
                              const at::Device& device) {
  if (num.small && denom.small) return from_fraction(num.value, denom.value, shape, device);
  return from_fraction(to_bigint(num), to_bigint(denom), shape, device);
}

Ref from_bigint(const BigInt& value) {
  if (value.fits_int64()) return Ref::checked(PyLong_FromLongLong(value.to_int64()));
  size_t count = 0;
  std::vector<unsigned char> bytes((value.bit_length() + 7) / 8 + 1);
  mpz_export(bytes.data(), &count, -1, 1, 0, 0, value.get());
  Ref magnitude = Ref::checked(_PyLong_FromByteArray(bytes.data(), count, 1, 0));
  if (value.sign() < 0) return Ref::checked(PyNumber_Negative(magnitude.get()));
  return magnitude;
}

}  // namespace kalvex::py
