#include "linalg/result_tensors.h"

#include <ATen/ATen.h>

#include "core/paths.h"

namespace kalvex::linalg {

namespace {

void write(int64_t* num, int64_t* den, const std::vector<ResidueFraction>& elements) {
  const size_t count = elements.size();
  for (size_t k = 0; k < count; ++k) {
    for (int i = 0; i < kNumPrimes; ++i) {
      num[static_cast<size_t>(i) * count + k] = elements[k].num[static_cast<size_t>(i)];
      den[static_cast<size_t>(i) * count + k] = elements[k].den[static_cast<size_t>(i)];
    }
  }
}

}  // namespace

ResidueTensors residue_tensors(const std::vector<ResidueFraction>& elements, at::IntArrayRef shape,
                               at::Device device) {
  std::vector<int64_t> sizes{kNumPrimes};
  sizes.insert(sizes.end(), shape.begin(), shape.end());
  const auto options = at::TensorOptions().dtype(at::kLong);
  if (host_paths(device)) {
    ResidueTensors out{at::empty(sizes, options), at::empty(sizes, options)};
    write(out.num.data_ptr<int64_t>(), out.den.data_ptr<int64_t>(), elements);
    return out;
  }
  std::vector<int64_t> both{2};
  both.insert(both.end(), sizes.begin(), sizes.end());
  at::Tensor host = at::empty(both, options);
  const int64_t half = kNumPrimes * static_cast<int64_t>(elements.size());
  write(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + half, elements);
  const at::Tensor moved = host.to(device);
  return ResidueTensors{moved.select(0, 0), moved.select(0, 1)};
}

}  // namespace kalvex::linalg
