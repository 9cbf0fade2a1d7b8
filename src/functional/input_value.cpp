#include "functional/input_value.h"

#include "reconstruct/scalar.h"

namespace kalvex {

c10::optional<ChainValue> input_value(const RationalTensor& x) {
  try {
    const Fraction value = read_scalar(x.num, x.denom, x.primes);
    if (value.den.sign() == 0) return c10::nullopt;
    return ChainValue(value.num, value.den);
  } catch (const std::exception&) {
    return c10::nullopt;
  }
}

}  // namespace kalvex
