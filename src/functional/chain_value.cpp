#include "functional/chain_value.h"

#include <cmath>
#include <limits>
#include <numeric>

#include "core/basis.h"
#include "core/errors.h"
#include "core/host_mod.h"
#include "core/kernels/residue_ops.h"
#include "core/modmath.h"
#include "core/standard_basis.h"

namespace kalvex {

namespace {

BigInt copy_of(mpz_srcptr v) {
  BigInt out;
  mpz_set(out.get(), v);
  return out;
}



}  // namespace

ChainValue::ChainValue(long value) {
  mpq_init(q_);
  mpq_set_si(q_, value, 1);
}

ChainValue::ChainValue(const BigInt& num, const BigInt& den) {
  mpq_init(q_);
  mpz_set(mpq_numref(q_), num.get());
  mpz_set(mpq_denref(q_), den.get());
  mpq_canonicalize(q_);
  settle();
}

// The residue form is only copied where it is the value (past the cap).
ChainValue::ChainValue(const ChainValue& other) : exact_(other.exact_), approx_(other.approx_) {
  mpq_init(q_);
  mpq_set(q_, other.q_);
  if (!exact_) num_ = other.num_, den_ = other.den_;
}

ChainValue& ChainValue::operator=(const ChainValue& other) {
  if (this != &other) {
    mpq_set(q_, other.q_);
    exact_ = other.exact_;
    if (!exact_) num_ = other.num_, den_ = other.den_;
    approx_ = other.approx_;
  }
  return *this;
}

ChainValue::ChainValue(ChainValue&& other) noexcept : exact_(other.exact_), approx_(other.approx_) {
  mpq_init(q_);
  mpq_swap(q_, other.q_);
  if (!exact_) num_ = other.num_, den_ = other.den_;
}

ChainValue& ChainValue::operator=(ChainValue&& other) noexcept {
  if (this == &other) return *this;  // a chain step handed back in place
  mpq_swap(q_, other.q_);
  exact_ = other.exact_;
  if (!exact_) num_ = other.num_, den_ = other.den_;
  approx_ = other.approx_;
  return *this;
}

ChainValue::~ChainValue() { mpq_clear(q_); }

int64_t ChainValue::bits() const {
  return bit_length(mpq_numref(q_)) + bit_length(mpq_denref(q_));
}

ChainValue::Pair ChainValue::pair() const {
  if (!exact_) return {num_, den_, approx_};
  return {residues_of(copy_of(mpq_numref(q_))), residues_of(copy_of(mpq_denref(q_))), mpq_get_d(q_)};
}

void ChainValue::leave_exact() {
  if (!exact_) return;
  const Pair p = pair();
  num_ = p.num;
  den_ = p.den;
  approx_ = p.approx;
  exact_ = false;
  mpq_set_ui(q_, 0, 1);
}

void ChainValue::settle() {
  // Limb counts first: the bit lengths matter only near the cap.
  constexpr size_t kCapLimbs = kExactCapBits / GMP_NUMB_BITS;
  if (!exact_ || (mpz_size(mpq_numref(q_)) <= kCapLimbs && mpz_size(mpq_denref(q_)) <= kCapLimbs)) return;
  if (mpz_sizeinbase(mpq_numref(q_), 2) > kExactCapBits || mpz_sizeinbase(mpq_denref(q_), 2) > kExactCapBits)
    leave_exact();
}

void ChainValue::add(const ChainValue& y) { add_or_sub(y, false); }
void ChainValue::sub(const ChainValue& y) { add_or_sub(y, true); }

// Past the cap, the element-wise operators' own formulas
// (core/kernels/residue_ops.h) on the residue form.
template <typename Op>
void ChainValue::combine_residues(const ChainValue& y) {
  leave_exact();
  const Pair o = y.pair();
  for (int i = 0; i < kNumPrimes; ++i) {
    const ResidueTuple<2> r = Op{}(Modulus(kStandardPrimes[i]), num_[i], den_[i], o.num[i], o.den[i]);
    num_[i] = r.value[0];
    den_[i] = r.value[1];
  }
}

void ChainValue::add_or_sub(const ChainValue& y, bool subtract) {
  if (exact_ && y.exact_) {
    (subtract ? mpq_sub : mpq_add)(q_, q_, y.q_);
    return settle();
  }
  const double other = y.exact_ ? mpq_get_d(y.q_) : y.approx_;
  if (subtract) {
    combine_residues<SubOp>(y);
    approx_ -= other;
  } else {
    combine_residues<AddOp>(y);
    approx_ += other;
  }
}

void ChainValue::mul(const ChainValue& y) {
  if (exact_ && y.exact_) {
    mpq_mul(q_, q_, y.q_);
    return settle();
  }
  const double other = y.exact_ ? mpq_get_d(y.q_) : y.approx_;
  combine_residues<MulOp>(y);
  approx_ *= other;
}

bool ChainValue::div(const ChainValue& y) {
  if (exact_ && y.exact_) {
    if (mpq_sgn(y.q_) == 0) return false;
    mpq_div(q_, q_, y.q_);
    settle();
    return true;
  }
  const double other = y.exact_ ? mpq_get_d(y.q_) : y.approx_;
  combine_residues<DivOp>(y);
  approx_ /= other;
  return true;
}

void ChainValue::scale(long num, unsigned long den) {
  if (!exact_) {
    for (int i = 0; i < kNumPrimes; ++i) {
      const int64_t p = kStandardPrimes[i];
      const Modulus m(p);
      num_[i] = mul_mod(num_[i], floor_mod(num, p), m);
      den_[i] = mul_mod(den_[i], static_cast<int64_t>(den % static_cast<unsigned long>(p)), m);
    }
    approx_ = approx_ * static_cast<double>(num) / static_cast<double>(den);
    return;
  }
  if (num == 0 || mpq_sgn(q_) == 0) {
    mpq_set_ui(q_, 0, 1);
    return;
  }
  // q = a/b in lowest terms: (a / gcd(a, den)) * (num / gcd(b, num)) over
  // (b / gcd(b, num)) * (den / gcd(a, den)) is in lowest terms again.
  unsigned long mag = num < 0 ? 0UL - static_cast<unsigned long>(num) : static_cast<unsigned long>(num);
  const unsigned long g = std::gcd(mag, den);
  mag /= g;
  den /= g;
  const unsigned long g_den = mpz_gcd_ui(nullptr, mpq_numref(q_), den);
  const unsigned long g_num = mpz_gcd_ui(nullptr, mpq_denref(q_), mag);
  mpz_divexact_ui(mpq_numref(q_), mpq_numref(q_), g_den);
  mpz_divexact_ui(mpq_denref(q_), mpq_denref(q_), g_num);
  mpz_mul_ui(mpq_numref(q_), mpq_numref(q_), mag / g_num);
  mpz_mul_ui(mpq_denref(q_), mpq_denref(q_), den / g_den);
  if (num < 0) mpz_neg(mpq_numref(q_), mpq_numref(q_));
  settle();
}

void ChainValue::scale(const BigInt& num, const BigInt& den) {
  if (mpz_fits_slong_p(num.get()) && mpz_fits_ulong_p(den.get()))
    return scale(mpz_get_si(num.get()), mpz_get_ui(den.get()));
  if (!exact_) return mul(ChainValue(num, den));
  if (num.sign() == 0 || mpq_sgn(q_) == 0) {
    mpq_set_ui(q_, 0, 1);
    return;
  }
  // As above: the cross gcds keep a/b * num/den in lowest terms.
  BigInt g_den, g_num, factor;
  mpz_gcd(g_den.get(), mpq_numref(q_), den.get());
  mpz_gcd(g_num.get(), mpq_denref(q_), num.get());
  mpz_divexact(mpq_numref(q_), mpq_numref(q_), g_den.get());
  mpz_divexact(mpq_denref(q_), mpq_denref(q_), g_num.get());
  mpz_divexact(factor.get(), num.get(), g_num.get());
  mpz_mul(mpq_numref(q_), mpq_numref(q_), factor.get());
  mpz_divexact(factor.get(), den.get(), g_den.get());
  mpz_mul(mpq_denref(q_), mpq_denref(q_), factor.get());
  if (mpz_sgn(mpq_denref(q_)) < 0) {
    mpz_neg(mpq_numref(q_), mpq_numref(q_));
    mpz_neg(mpq_denref(q_), mpq_denref(q_));
  }
  settle();
}

RationalTensor ChainValue::build(at::IntArrayRef shape, at::Device device) const {
  if (exact_) return from_value(copy_of(mpq_numref(q_)), copy_of(mpq_denref(q_)), shape, device);
  // Past the cap, far beyond any read-back: the sizes are not worth bounding.
  return filled_value(num_, den_, approx_, BitBounds{}, shape, device);
}

}  // namespace kalvex
