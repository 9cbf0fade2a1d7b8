#include "reconstruct/scalar.h"

#include <ATen/ATen.h>

#include "core/basis.h"
#include "core/construct.h"
#include "core/errors.h"
#include "core/kernels/host_copy.h"
#include "reconstruct/rational.h"

namespace kalvex {

const char* const kUnreadableMessage =
    "value exceeds the exact range: its numerator and denominator need more than about 555 bits together";

namespace {

// One vector of N_PRIMES residues (any trailing dimensions of size 1);
// view() refuses anything else with torch's message.
at::Tensor one_vector(const at::Tensor& t) {
  return t.dim() >= 1 && t.size(0) == kNumPrimes && t.numel() == kNumPrimes ? t : t.view({kNumPrimes});
}

// The one element's value, not reduced; false when it cannot be read.
bool read_one(const RationalTensor& t, Fraction& out) {
  const std::vector<at::Tensor> host = host_int64({one_vector(t.num), one_vector(t.denom), t.primes});
  const at::Tensor& num = host[0];
  const at::Tensor& den = host[1];
  const at::Tensor primes = host[2].contiguous();
  const auto basis = crt_basis(primes.data_ptr<int64_t>(), static_cast<size_t>(primes.numel()));
  FractionReader reader(*basis);
  reader.read(num.data_ptr<int64_t>(), num.stride(0), den.data_ptr<int64_t>(), den.stride(0), kNumPrimes, t.bits);
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
