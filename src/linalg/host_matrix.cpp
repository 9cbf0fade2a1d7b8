#include "linalg/host_matrix.h"

#include <ATen/ATen.h>

#include <string>

#include "core/basis.h"
#include "core/checks.h"
#include "core/errors.h"
#include "core/kernels/host_copy.h"

namespace kalvex::linalg {

namespace {

constexpr int64_t kPrimeLimit = int64_t{1} << 31;

// Residues are normally in [0, p) already; anything else is brought there
// by floor division, as the operators' remainders would.
inline int64_t reduced(int64_t r, int64_t p) {
  if (r >= 0 && r < p) return r;
  const int64_t m = r % p;
  return m < 0 ? m + p : m;
}

// A [P, rows, cols] view of residues held in host memory.
struct Strided {
  const int64_t* data;
  int64_t s0, s1, s2;
  int64_t operator()(int64_t i, int64_t r, int64_t c) const { return data[i * s0 + r * s1 + c * s2]; }
};

Strided strided(const at::Tensor& t) {
  const int64_t d = t.dim();
  return Strided{t.data_ptr<int64_t>(), t.stride(0), d > 1 ? t.stride(1) : 0, d > 2 ? t.stride(2) : 0};
}

void fill(HostMatrix& m, int64_t rows, int64_t cols, Strided num, Strided den, const PrimeRow& primes) {
  m.rows = rows;
  m.cols = cols;
  for (int64_t r = 0; r < rows; ++r) {
    for (int64_t c = 0; c < cols; ++c) {
      ResidueFraction& e = m.at(r, c);
      for (int i = 0; i < kNumPrimes; ++i) {
        e.num[i] = reduced(num(i, r, c), primes.primes[i]);
        e.den[i] = reduced(den(i, r, c), primes.primes[i]);
      }
    }
  }
}

PrimeRow checked_primes(const int64_t* p, int64_t stride) {
  ResidueRow values;
  for (int i = 0; i < kNumPrimes; ++i) {
    values[i] = p[i * stride];
    if (values[i] < 2 || values[i] >= kPrimeLimit)
      fail(ErrorKind::Value, "ModularTensor primes must lie in [2, 2^31), got " + std::to_string(values[i]));
  }
  return PrimeRow(values);
}

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

int64_t square_size(const RationalTensor& a, const char* message) {
  const at::IntArrayRef shape = a.shape();
  if (shape.size() != 2 || shape[0] != shape[1]) fail(ErrorKind::Value, message);
  return shape[0];
}

void check_matrix(const RationalTensor& a) {
  check_residues(a);
  if (!a.num.sizes().equals(a.denom.sizes()))
    fail(ErrorKind::Value, "ModularTensor numerator and denominator residues differ in shape");
  if (a.primes.size(0) != kNumPrimes)
    fail(ErrorKind::Value, "ModularTensor matrices hold residues modulo " + std::to_string(kNumPrimes) +
                               " primes, got " + std::to_string(a.primes.size(0)));
}

HostOperands copy_to_host(const RationalTensor& a) {
  const int64_t n = a.num.size(1);
  const std::vector<at::Tensor> host = host_int64({a.num, a.denom, a.primes});
  HostOperands out(checked_primes(host[2].data_ptr<int64_t>(), host[2].stride(0)));
  fill(out.matrix, n, n, strided(host[0]), strided(host[1]), out.primes);
  out.matrix.bits = a.bits;
  return out;
}

HostMatrix copy_column_to_host(const at::Tensor& num, const at::Tensor& den, int64_t n, const PrimeRow& primes,
                               const BitBounds& bits) {
  if (num.dim() != 2 || den.dim() != 2 || num.size(0) != kNumPrimes || den.size(0) != kNumPrimes ||
      num.size(1) != n || den.size(1) != n)
    fail(ErrorKind::Value, "right-hand side residues must have shape [" + std::to_string(kNumPrimes) + ", " +
                               std::to_string(n) + "]");
  const std::vector<at::Tensor> host = host_int64({num, den});
  HostMatrix out;
  out.bits = bits;
  fill(out, n, 1, strided(host[0]), strided(host[1]), primes);
  return out;
}

ResidueFraction host_scalar(const at::Tensor& num, const at::Tensor& den, const PrimeRow& primes) {
  const std::vector<at::Tensor> host = host_int64({num.reshape({kNumPrimes}), den.reshape({kNumPrimes})});
  const Strided n = strided(host[0]), d = strided(host[1]);
  ResidueFraction out;
  for (int i = 0; i < kNumPrimes; ++i) {
    out.num[i] = reduced(n(i, 0, 0), primes.primes[i]);
    out.den[i] = reduced(d(i, 0, 0), primes.primes[i]);
  }
  return out;
}

ResidueTensors residue_tensors(const std::vector<ResidueFraction>& elements, at::IntArrayRef shape,
                               at::Device device) {
  std::vector<int64_t> sizes{kNumPrimes};
  sizes.insert(sizes.end(), shape.begin(), shape.end());
  const auto options = at::TensorOptions().dtype(at::kLong);
  const at::Tensor num = at::empty(sizes, options), den = at::empty(sizes, options);
  write(num.data_ptr<int64_t>(), den.data_ptr<int64_t>(), elements);
  const std::vector<at::Tensor> moved = on_device({num, den}, device);
  return ResidueTensors{moved[0], moved[1]};
}

}  // namespace kalvex::linalg
