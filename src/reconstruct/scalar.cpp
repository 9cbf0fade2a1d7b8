#include "reconstruct/scalar.h"

#include "core/basis.h"
#include "core/construct.h"
#include "core/errors.h"
#include "reconstruct/host_residues.h"
#include "reconstruct/rational.h"

namespace kalvex {

void check_scalar_shape(at::IntArrayRef shape) {
  if (shape.empty() || (shape.size() == 1 && shape[0] == 1)) return;
  fail(ErrorKind::Value, "to_rational() only works for scalar tensors");
}

Fraction read_scalar(const at::Tensor& num, const at::Tensor& denom, const at::Tensor& primes) {
  // view() refuses residues that are not one vector of N_PRIMES, with torch's message.
  const at::Tensor n = host_int64(num.view({kNumPrimes}));
  const at::Tensor d = host_int64(denom.view({kNumPrimes}));
  const at::Tensor p = host_int64(primes).reshape({-1}).contiguous();
  const auto basis = crt_basis(p.data_ptr<int64_t>(), static_cast<size_t>(p.numel()));

  FractionReader reader(*basis);
  reader.read(n.data_ptr<int64_t>(), n.stride(0), d.data_ptr<int64_t>(), d.stride(0), kNumPrimes);
  Fraction out{std::move(reader.num()), std::move(reader.den())};
  reduce_fraction(out.num, out.den);
  return out;
}

c10::optional<RationalTensor> simplified(const RationalTensor& t, at::IntArrayRef shape, at::Device device) {
  try {
    check_scalar_shape(shape);
    const Fraction value = read_scalar(t.num, t.denom, t.primes);
    if (value.den.sign() == 0) return c10::nullopt;  // no value to rebuild
    return from_fraction(value.num, value.den, shape, device);
  } catch (const std::exception&) {
    return c10::nullopt;
  }
}

}  // namespace kalvex
