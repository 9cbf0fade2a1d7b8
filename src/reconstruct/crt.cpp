#include "reconstruct/crt.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "core/bit_bounds.h"
#include "core/errors.h"
#include "core/host_mod.h"

namespace kalvex {

namespace {

std::shared_ptr<const CrtBasis> build_basis(const int64_t* primes, size_t count) {
  auto basis = std::make_shared<CrtBasis>();
  basis->primes.assign(primes, primes + count);
  mpz_set_ui(basis->modulus.get(), 1);
  for (int64_t p : basis->primes) {
    if (p == 0) fail(ErrorKind::ZeroDivision, "integer division or modulo by zero");
    if (p < 0) fail(ErrorKind::Value, "prime basis must hold positive primes, got " + std::to_string(p));
    mpz_mul_ui(basis->modulus.get(), basis->modulus.get(), static_cast<unsigned long>(p));
  }
  mpz_fdiv_q_2exp(basis->half.get(), basis->modulus.get(), 1);

  BigInt partial, inverse, modulus;
  basis->weights.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const auto p = static_cast<unsigned long>(primes[i]);
    mpz_divexact_ui(partial.get(), basis->modulus.get(), p);
    if (p == 1) {  // everything is 0 modulo 1, and so is the inverse
      mpz_set_ui(basis->weights[i].get(), 0);
      continue;
    }
    mpz_set_ui(modulus.get(), p);
    mpz_fdiv_r(inverse.get(), partial.get(), modulus.get());
    if (mpz_invert(inverse.get(), inverse.get(), modulus.get()) == 0)
      fail(ErrorKind::Value, "base is not invertible for the given modulus");
    mpz_mul(basis->weights[i].get(), partial.get(), inverse.get());
  }
  if (count >= 2) {
    const int64_t p0 = primes[0], p1 = primes[1];
    const bool sized = p0 > (int64_t{1} << 20) && p0 < (int64_t{1} << 31) && p1 > (int64_t{1} << 20) &&
                       p1 < (int64_t{1} << 31);
    basis->inv01 = sized ? inverse_mod(p0 % p1, p1) : 0;
    basis->garner = basis->inv01 != 0;
    basis->p01 = sized ? p0 * p1 : 0;
    if (basis->garner)  // log2 rounded down, less a unit for the rounding of log2 itself
      basis->pair_bound = static_cast<int64_t>(std::floor(std::log2(static_cast<double>(basis->p01 / 2)) * kBoundUnit)) - 1;
  }
  const bool all_sized = std::all_of(primes, primes + count, [](int64_t p) {
    return p > (int64_t{1} << 20) && p < (int64_t{1} << 31);
  });
  if (all_sized)
    for (size_t i = 0; i < count; ++i) basis->moduli.emplace_back(primes[i]);
  return basis;
}

// A handful of bases is all a process meets (the standard one, perhaps a test
// basis or two); the oldest entry goes when the cache is full.
class BasisCache {
 public:
  std::shared_ptr<const CrtBasis> get(const int64_t* primes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) {
      if (entry->primes.size() == count && std::equal(primes, primes + count, entry->primes.begin())) return entry;
    }
    auto basis = build_basis(primes, count);
    if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
    entries_.push_back(basis);
    return basis;
  }

 private:
  static constexpr size_t kCapacity = 8;
  std::mutex mutex_;
  std::vector<std::shared_ptr<const CrtBasis>> entries_;
};

}  // namespace

std::shared_ptr<const CrtBasis> crt_basis(const int64_t* primes, size_t count) {
  static BasisCache cache;
  return cache.get(primes, count);
}

int64_t pair_integer(const CrtBasis& basis, int64_t r0, int64_t r1) {
  const int64_t p0 = basis.primes[0], p1 = basis.primes[1];
  // Residues are mostly in [0, p) already: no division then.
  if (r0 < 0 || r0 >= p0) r0 = floor_mod(r0, p0);
  if (r1 < 0 || r1 >= p1) r1 = floor_mod(r1, p1);
  int64_t t = r1 - r0 % p1;
  if (t < 0) t += p1;
  // Both factors are below p1 < 2^31: the product fits 64 bits, and the
  // basis's remainder by multiplication takes any int64.
  const int64_t product = t * basis.inv01;
  t = basis.moduli.empty() ? product % p1 : reduce_int64(product, basis.moduli[1]);
  const int64_t v = r0 + p0 * t;  // in [0, p0 p1)
  return v > basis.p01 / 2 ? v - basis.p01 : v;
}

bool small_integer(const CrtBasis& basis, const int64_t* residues, int64_t stride, size_t count, int64_t& out) {
  const size_t n = basis.primes.size();
  if (!basis.garner || count < n) return false;
  const int64_t v = pair_integer(basis, residues[0], residues[stride]);
  for (size_t i = 2; i < n; ++i) {
    const int64_t p = basis.primes[i];
    int64_t expected = residues[static_cast<int64_t>(i) * stride];
    if (expected < 0 || expected >= p) expected = floor_mod(expected, p);
    const int64_t r = basis.moduli.empty() ? floor_mod(v, p) : reduce_int64(v, basis.moduli[i]);
    if (r != expected) return false;
  }
  out = v;
  return true;
}

void crt_unsigned(const CrtBasis& basis, const int64_t* residues, int64_t stride, size_t count, mpz_ptr out) {
  const size_t n = std::min(count, basis.primes.size());
  mpz_set_ui(out, 0);
  for (size_t i = 0; i < n; ++i) {
    const int64_t r = residues[static_cast<int64_t>(i) * stride];
    if (r >= 0) {
      mpz_addmul_ui(out, basis.weights[i].get(), static_cast<unsigned long>(r));
    } else {
      mpz_submul_ui(out, basis.weights[i].get(), 0UL - static_cast<unsigned long>(r));
    }
  }
  mpz_fdiv_r(out, out, basis.modulus.get());
}

}  // namespace kalvex
