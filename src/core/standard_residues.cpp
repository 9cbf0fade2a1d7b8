// The residues of integers in the standard basis (residues_of, construct.h).
#include <vector>

#include "core/construct.h"
#include "core/host_mod.h"
#include "core/modmath.h"

namespace kalvex {

namespace {

// Digits covered by the table: values up to 2048 bits.
constexpr size_t kDigits = 64;

struct PowerTable {
  std::vector<Modulus> moduli;
  double power[kDigits][kNumPrimes];  // 2^(32 j) mod p_i, as doubles

  PowerTable() {
    for (int i = 0; i < kNumPrimes; ++i) moduli.emplace_back(kStandardPrimes[i]);
    for (int i = 0; i < kNumPrimes; ++i) {
      const int64_t p = kStandardPrimes[i];
      int64_t r = 1;
      for (size_t j = 0; j < kDigits; ++j) {
        power[j][i] = static_cast<double>(r);
        r = static_cast<int64_t>((static_cast<unsigned __int128>(r) << 32) % static_cast<uint64_t>(p));
      }
    }
  }
};

const PowerTable& table() {
  static const PowerTable t;
  return t;
}

}  // namespace

Residues residues_of(int64_t value) {
  Residues r;
  for (int i = 0; i < kNumPrimes; ++i) r[i] = floor_mod(value, kStandardPrimes[i]);
  return r;
}

// From the value's 32-bit digits and a table of the powers 2^(32 j) mod p:
// no division per prime and digit.
Residues residues_of(const BigInt& v) {
  if (v.fits_int64()) return residues_of(v.to_int64());
  const size_t limbs = mpz_size(v.get());
  if (limbs * 2 > kDigits || sizeof(mp_limb_t) != 8) {
    Residues r;
    for (int i = 0; i < kNumPrimes; ++i) r[i] = v.mod(kStandardPrimes[i]);
    return r;
  }
  const PowerTable& t = table();
  const mp_limb_t* d = mpz_limbs_read(v.get());
  Residues out;
  for (int i = 0; i < kNumPrimes; ++i) {
    const Modulus& m = t.moduli[static_cast<size_t>(i)];
    const auto p = static_cast<uint64_t>(kStandardPrimes[i]);
    double acc = 0.0;
    for (size_t k = 0; k < limbs; ++k) {
      const uint64_t limb = d[k];
      // Each 32-bit digit is below 4p (p > 2^30): reduced by subtraction.
      uint64_t lo = limb & 0xffffffffu, hi = limb >> 32;
      while (lo >= p) lo -= p;
      while (hi >= p) hi -= p;
      acc = add_mod_d(acc, mul_mod_d(static_cast<double>(lo), t.power[2 * k][i], m), m);
      acc = add_mod_d(acc, mul_mod_d(static_cast<double>(hi), t.power[2 * k + 1][i], m), m);
    }
    const int64_t r = as_residue(acc);
    out[static_cast<size_t>(i)] = (v.sign() < 0 && r != 0) ? static_cast<int64_t>(p) - r : r;
  }
  return out;
}

}  // namespace kalvex
