#pragma once
// The exact values of many elements of one tensor, each read as to_rational
// reads it (NOTE: [Robust read-back]), after one copy of their residues to
// the host.
#include <ATen/core/Tensor.h>
#include <gmp.h>

#include <deque>
#include <memory>
#include <vector>

#include "core/bigint.h"
#include "core/rational_tensor.h"
#include "reconstruct/crt.h"
#include "reconstruct/rational.h"

namespace kalvex {

class ElementValues {
 public:
  // The elements at the row-major `positions` of x's (broadcast) shape; each
  // is read on first use.
  ElementValues(const RationalTensor& x, const std::vector<int64_t>& positions);
  // Every element of x, in row-major order.
  explicit ElementValues(const RationalTensor& x);

  int64_t size() const { return count_; }

  // Exactly 0: every numerator residue 0 with the numerator in range, and a
  // denominator in range that is not 0.  No reconstruction needed.
  bool exactly_zero(int64_t k) const;

  // Whether element k has a value (it can be read, its denominator is not 0).
  bool has_value(int64_t k) { return slot(k).kind >= Kind::Small; }

  // The value of element k in lowest terms; nullptr where it has none.
  mpq_srcptr value(int64_t k);

  // The sign of value(i) - value(j), both of which exist.  Pairs of int64s
  // compare by cross multiplication, without lowest terms.
  int compare(int64_t i, int64_t j);

  // Element k as to_rational gives it: in lowest terms with a non-negative
  // denominator, either as two int64s (`small`) or in `big`; a zero
  // denominator reads as (sign of the numerator, 0).  Unreadable elements
  // have readable false.
  struct Reading {
    bool readable = false;
    bool small = true;
    int64_t num = 0, den = 1;
    mpq_srcptr big = nullptr;
  };
  Reading reading(int64_t k);

 private:
  enum class Kind : int8_t { Unread, Unreadable, NoDenominator, Small, Big };
  // A small value is num / den with den > 0 (not reduced); a big one is
  // values_[index]; NoDenominator keeps the numerator's sign in num.
  struct Slot {
    Kind kind = Kind::Unread;
    int64_t num = 0, den = 1, index = -1;
  };

  void prepare(const RationalTensor& x, at::IntArrayRef sizes);
  Slot& slot(int64_t k);
  Slot read(int64_t k);

  BitBounds bits_;
  bool pair_only_ = false;
  int64_t count_ = 0, rows_ = 0;  // rows_: the residue rows held (two when pair_only_)
  at::Tensor num_, den_;          // [rows_, count_] on the host
  const int64_t* num_data_ = nullptr;
  const int64_t* den_data_ = nullptr;
  std::shared_ptr<const CrtBasis> basis_;
  std::unique_ptr<FractionReader> reader_;
  std::vector<Slot> slots_;
  std::deque<BigRational> values_;
};

}  // namespace kalvex
