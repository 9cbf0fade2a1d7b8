#include "functional/input_value.h"

#include "reconstruct/scalar.h"

namespace kalvex {

c10::optional<ChainValue> input_value(const RationalTensor& x) {
  const c10::optional<Fraction> value = value_of(x);
  if (!value) return c10::nullopt;
  return ChainValue(value->num, value->den);
}

}  // namespace kalvex
