#include "reconstruct/scalar.h"

#include <ATen/ATen.h>

#include "core/basis.h"
#include "core/construct.h"
#include "core/errors.h"
#include "reconstruct/host_residues.h"
#include "reconstruct/rational.h"

namespace kalvex {

const char* const kUnreadableMessage =
    "value exceeds the exact range: its numerator and denominator need more than about 555 bits together";

namespace {

// Both halves of a one-element tensor on the host as [2, N_PRIMES], in one
// copy for int64 residues.  view() refuses residues that are not one vector
// of N_PRIMES, with torch's message.
at::Tensor host_pair(const RationalTensor& t) {
  const at::Tensor num = t.num.view({kNumPrimes}), den = t.denom.view({kNumPrimes});
  if (num.scalar_type() == den.scalar_type()) return host_int64(at::stack({num, den})).contiguous();
  return at::stack({host_int64(num), host_int64(den)});
}

// The one element's value, not reduced; false when it cannot be read.
bool read_one(const RationalTensor& t, Fraction& out) {
  const at::Tensor pair = host_pair(t);
  const at::Tensor p = host_int64(t.primes).reshape({-1}).contiguous();
  const auto basis = crt_basis(p.data_ptr<int64_t>(), static_cast<size_t>(p.numel()));
  FractionReader reader(*basis);
  const int64_t* rows = pair.data_ptr<int64_t>();
  reader.read(rows, 1, rows + kNumPrimes, 1, kNumPrimes, t.bits);
  if (!reader.readable()) return false;
  out.num = std::move(reader.num());
  out.den = std::move(reader.den());
  return true;
}

}  // namespace

void check_scalar_shape(at::IntArrayRef shape) {
  if (shape.empty() || (shape.size() == 1 && shape[0] == 1)) return;
  fail(ErrorKind::Value, "to_rational() only works for scalar tensors");
}

Fraction read_scalar(const RationalTensor& t) {
  Fraction value;
  if (!read_one(t, value)) fail(ErrorKind::Overflow, kUnreadableMessage);
  reduce_fraction(value.num, value.den);
  return value;
}

c10::optional<Fraction> value_of(const RationalTensor& t) {
  try {
    Fraction value;
    if (!read_one(t, value) || value.den.sign() == 0) return c10::nullopt;
    reduce_fraction(value.num, value.den);
    return value;
  } catch (const std::exception&) {
    return c10::nullopt;
  }
}

c10::optional<RationalTensor> simplified(const RationalTensor& t, at::IntArrayRef shape, at::Device device) {
  try {
    check_scalar_shape(shape);
    const c10::optional<Fraction> value = value_of(t);
    if (!value) return c10::nullopt;
    return from_fraction(value->num, value->den, shape, device);
  } catch (const std::exception&) {
    return c10::nullopt;
  }
}

}  // namespace kalvex
