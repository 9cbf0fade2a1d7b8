#include "core/standard_basis.h"

#include <ATen/ATen.h>
#include <c10/core/impl/DeviceGuardImplInterface.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "core/basis.h"

namespace kalvex {

namespace {

// Never destroyed: device tensors must not be freed after their runtime has
// shut down at exit.
struct Cache {
  std::mutex lock;
  at::Tensor cpu;
  std::vector<std::pair<at::Device, at::Tensor>> devices;
};

Cache& cache() {
  static Cache* instance = new Cache;
  return *instance;
}

at::Tensor made_on_host() {
  at::Tensor t = at::empty({kNumPrimes}, at::TensorOptions().dtype(at::kLong));
  std::copy(kStandardPrimes.begin(), kStandardPrimes.end(), t.data_ptr<int64_t>());
  return t;
}

// The CPU tensor, under the lock.
const at::Tensor& host_primes(Cache& c) {
  if (!c.cpu.defined()) c.cpu = made_on_host();
  return c.cpu;
}

}  // namespace

void set_standard_primes(const at::Tensor& cpu_primes) {
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.lock);
  c.cpu = cpu_primes;
  c.devices.clear();
}

at::Tensor standard_primes(at::Device device) {
  Cache& c = cache();
  // "cuda" is the current CUDA device, which may change between calls.
  if (device.is_cuda() && !device.has_index() && c10::impl::hasDeviceGuardImpl(device.type()))
    device = c10::impl::getDeviceGuardImpl(device.type())->getDevice();
  std::lock_guard<std::mutex> guard(c.lock);
  if (device.is_cpu()) return host_primes(c);
  for (const auto& entry : c.devices)
    if (entry.first == device) return entry.second;
  at::Tensor moved = host_primes(c).to(device);
  c.devices.emplace_back(device, moved);
  return moved;
}

}  // namespace kalvex
