#include "reconstruct/crt.h"

#include <algorithm>
#include <mutex>

#include "core/errors.h"

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
