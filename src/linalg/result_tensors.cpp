#include "linalg/result_tensors.h"

#include <ATen/ATen.h>


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
  std::vector<int64_t> sizes{2, kNumPrimes};
  sizes.insert(sizes.end(), shape.begin(), shape.end());
  at::Tensor host = at::empty(sizes, at::TensorOptions().dtype(at::kLong));
  const int64_t half = kNumPrimes * static_cast<int64_t>(elements.size());
  write(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + half, elements);
  const at::Tensor both = host.to(device);
  return ResidueTensors{both.select(0, 0), both.select(0, 1)};
}

}  // namespace kalvex::linalg
