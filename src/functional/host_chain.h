#pragma once
// The host form of a series or Newton chain: the same steps as TensorChain's,
// on one exact value (NOTE: [One exact chain on the host]).  A ChainValue is
// always in lowest terms, so `simplify` has nothing left to do.
#include <cstdint>
#include <utility>

#include "core/bigint.h"
#include "core/errors.h"
#include "functional/chain_value.h"

namespace kalvex {

struct HostChain {
  using Value = ChainValue;

  // num / den; a zero denominator is the ZeroDivision error the tensor
  // constructors give.
  static Value fraction(const BigInt& num, const BigInt& den) {
    if (den.sign() == 0) fail(ErrorKind::ZeroDivision, "division by zero");
    return ChainValue(num, den);
  }
  static Value integer(int64_t value) { return ChainValue(static_cast<long>(value)); }
  static const Value& simplify(const Value& x) { return x; }
  static Value&& simplify(Value&& x) { return std::move(x); }

  // s of the exact value (bit lengths of numerator and denominator); past
  // the exact cap, the bound the chain carries.
  static int64_t size(const Value& x, int64_t bound) { return x.exact() ? x.bits() : bound; }

  // A value the chain passes as an rvalue (a temporary, or one it replaces
  // with std::move) is updated in place and handed back; others are copied.
  static Value&& add(Value&& x, const Value& y) {
    x.add(y);
    return std::move(x);
  }
  static Value add(const Value& x, const Value& y) { return add(Value(x), y); }
  static Value&& sub(Value&& x, const Value& y) {
    x.sub(y);
    return std::move(x);
  }
  static Value sub(const Value& x, const Value& y) { return sub(Value(x), y); }
  static Value&& mul(Value&& x, const Value& y) {
    x.mul(y);
    return std::move(x);
  }
  static Value mul(const Value& x, const Value& y) { return mul(Value(x), y); }
  // x / y, y not an exact zero (a chain divides only by values it knows).
  static Value&& div(Value&& x, const Value& y) {
    if (!x.div(y)) fail(ErrorKind::ZeroDivision, "division by zero");
    return std::move(x);
  }
  static Value div(const Value& x, const Value& y) { return div(Value(x), y); }
  // x * num / den (in lowest terms, den > 0), in storage reused from one
  // call to the next: valid until the next call.
  const Value& scaled(const Value& x, const BigInt& num, const BigInt& den) const {
    scratch_ = x;
    scratch_.scale(num, den);
    return scratch_;
  }

 private:
  mutable ChainValue scratch_;
};

}  // namespace kalvex
