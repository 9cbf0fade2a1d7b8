#pragma once
// One value of a chain of one-element operations computed on the host.
//
// NOTE: [One exact chain on the host]
// Series and Newton steps on a one-element tensor combine tensors and bring
// the result to lowest terms after every step.  While every step stays within
// the read-back range, the residues of each step depend only on its exact
// reduced value, so the whole chain equals one exact computation on the host
// and one tensor built at the end.  Beyond the read-back range a step-by-step
// chain would rebuild values from overflowed pairs; a ChainValue stays exact
// instead: in lowest terms while both halves stay below kExactCapBits (far
// beyond anything that reads back), then as the exact residues of an
// unreduced pair combined by cross multiplication, with a double carrying its
// approximate value.  Growth thus never makes the host work grow faster than
// the number of steps.
#include <gmp.h>

#include <cstdint>

#include "core/bigint.h"
#include "core/construct.h"
#include "core/rational_tensor.h"

namespace kalvex {

class ChainValue {
 public:
  static constexpr size_t kExactCapBits = 8192;

  explicit ChainValue(long value = 0);
  ChainValue(const BigInt& num, const BigInt& den);  // den != 0
  ChainValue(const ChainValue& other);
  ChainValue& operator=(const ChainValue& other);
  ChainValue(ChainValue&& other) noexcept;
  ChainValue& operator=(ChainValue&& other) noexcept;
  ~ChainValue();

  void add(const ChainValue& y);
  void sub(const ChainValue& y);
  void mul(const ChainValue& y);
  // this / y; false, leaving this unchanged, when y is an exact zero.
  bool div(const ChainValue& y);
  // this * num / den for machine integers, den > 0.
  void scale(long num, unsigned long den);
  // this * num / den for num / den in lowest terms, den > 0.
  void scale(const BigInt& num, const BigInt& den);

  bool exact() const { return exact_; }
  // Bit length of the reduced numerator plus that of the denominator (exact values only).
  int64_t bits() const;
  mpq_srcptr value() const { return q_; }

  // The tensor of `shape` on `device` holding this value: the residues of the
  // reduced pair and its correctly rounded quotient, as the constructors give
  // them, in the standard basis of `device`; past the cap the pair's residues
  // and the carried approximation.
  RationalTensor build(at::IntArrayRef shape, at::Device device) const;

 private:
  struct Pair {
    Residues num, den;
    double approx;
  };
  Pair pair() const;       // the residue form of this value
  void leave_exact();      // switch to the residue form
  void settle();           // switch when a half has grown past the cap
  void add_or_sub(const ChainValue& y, bool subtract);
  template <typename Op>
  void combine_residues(const ChainValue& y);

  mpq_t q_;
  bool exact_ = true;
  Residues num_, den_;  // the residue form, set only past the cap (leave_exact)
  double approx_ = 0.0;
};

}  // namespace kalvex
