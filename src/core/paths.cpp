#include "core/paths.h"

#include <ATen/ATen.h>

#include <atomic>

namespace kalvex {

namespace {

std::atomic<bool> forced_generic{false};

}  // namespace

bool generic_paths() { return forced_generic.load(std::memory_order_relaxed); }

void set_generic_paths(bool on) { forced_generic.store(on, std::memory_order_relaxed); }

bool host_paths(at::Device device) { return !generic_paths() && device.is_cpu(); }

bool valid_basis(const at::Tensor& primes) {
  if (primes.scalar_type() != at::kLong || primes.dim() != 1) return false;
  const at::Tensor p = primes.cpu().contiguous();
  const int64_t* v = p.data_ptr<int64_t>();
  for (int64_t i = 0; i < p.numel(); ++i)
    if (v[i] < 2 || v[i] >= (int64_t{1} << 31)) return false;
  return true;
}

bool host_residues(const at::Tensor& num, const at::Tensor& den, int64_t rows) {
  return host_paths(num, den) && num.scalar_type() == at::kLong && den.scalar_type() == at::kLong &&
         num.dim() >= 1 && num.size(0) == rows && num.sizes().equals(den.sizes());
}

bool host_residues(const at::Tensor& num, const at::Tensor& den, const at::Tensor& primes) {
  return primes.dim() == 1 && host_paths(primes) && host_residues(num, den, primes.size(0)) && valid_basis(primes);
}

}  // namespace kalvex
