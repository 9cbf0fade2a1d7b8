#pragma once
// The step-by-step form of a series or Newton chain: tensor arithmetic on
// the input's shape and device, constants made there, and reductions to
// lowest terms that only one-element tensors take (anything else, and any
// value that does not rebuild, is kept as it is).  Inputs of more than one
// element, and one-element inputs whose values do not read back, take this
// form; every other one-element input takes the host chain (NOTE: [One exact
// chain on the host]).
#include <ATen/core/Tensor.h>

#include <vector>

#include "core/arith.h"
#include "core/bigint.h"
#include "core/construct.h"
#include "core/rational_tensor.h"
#include "reconstruct/scalar.h"

namespace kalvex {

struct TensorChain {
  using Value = RationalTensor;

  std::vector<int64_t> shape;
  at::Device device;

  bool one_element() const { return shape.empty() || (shape.size() == 1 && shape[0] == 1); }

  RationalTensor fraction(const BigInt& num, const BigInt& den) const {
    return from_fraction(num, den, shape, device);
  }
  RationalTensor integer(int64_t value) const { return from_fraction(value, int64_t{1}, shape, device); }

  RationalTensor simplify(const RationalTensor& t) const {
    if (!one_element()) return t;
    return simplified(t, shape, device).value_or(t);
  }

  // s of the reduced value of a one-element tensor: the bit lengths of its
  // numerator and denominator (a zero denominator reads as (+-1, 0) or
  // (0, 0)); past any limit when it cannot be read.
  static int64_t size(const RationalTensor& t, int64_t /*carried bound*/) {
    try {
      const Fraction f = read_scalar(t);
      return bit_length(f.num.get()) + bit_length(f.den.get());
    } catch (const std::exception&) {
      return kUnknownBound;
    }
  }

  static RationalTensor add(const RationalTensor& x, const RationalTensor& y) {
    return binary(BinaryOp::Add, x, y);
  }
  static RationalTensor sub(const RationalTensor& x, const RationalTensor& y) {
    return binary(BinaryOp::Sub, x, y);
  }
  static RationalTensor mul(const RationalTensor& x, const RationalTensor& y) {
    return binary(BinaryOp::Mul, x, y);
  }
  RationalTensor scaled(const RationalTensor& x, const BigInt& num, const BigInt& den) const {
    return mul(x, fraction(num, den));
  }
  static RationalTensor div(const RationalTensor& x, const RationalTensor& y) {
    return binary(BinaryOp::Div, x, y);
  }
};

}  // namespace kalvex
