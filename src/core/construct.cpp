#include "core/construct.h"
#include "core/host_mod.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <cmath>

#include "core/errors.h"
#include "core/kernels/stream.h"
#include "core/paths.h"
#include "core/simd.h"

namespace kalvex {

namespace {

constexpr int kFloatShift = 52;  // values are captured with denominator 2^52
constexpr int64_t kCaptureBlock = 2048;


std::vector<int64_t> residue_shape(at::IntArrayRef shape) {
  std::vector<int64_t> sizes;
  sizes.reserve(shape.size() + 1);
  sizes.push_back(kNumPrimes);
  sizes.insert(sizes.end(), shape.begin(), shape.end());
  return sizes;
}

// trunc(v * 2^52) as int64, saturating outside the int64 range (NaN gives 0):
// values with |v| >= 2048 are outside the exact capture range anyway.
inline int64_t scaled_value(double v) {
  const double s = std::ldexp(v, kFloatShift);
  if (!(s == s)) return 0;
  if (s >= 9223372036854775808.0) return INT64_MAX;
  if (s < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(s);
}

// One block of the capture: scaled values in, one row of residues per prime
// out.  Results far larger than the caches are streamed to memory.
KALVEX_CLONES
void capture_rows(const int64_t* scaled, int64_t count, const int64_t* primes, int64_t row_stride, int64_t* num_out,
                  int64_t* denom_out, const int64_t* denom_res, bool streaming) {
  int64_t block[kCaptureBlock];
  for (int j = 0; j < kNumPrimes; ++j) {
    const int64_t p = primes[j];
    const double inv = 1.0 / static_cast<double>(p);
    int64_t* out = streaming ? block : num_out + j * row_stride;
    for (int64_t i = 0; i < count; ++i) {
      const int64_t s = scaled[i];
      const uint64_t mag = s < 0 ? 0 - static_cast<uint64_t>(s) : static_cast<uint64_t>(s);
      // mag <= 2^63 and p > 2^30: the quotient estimate is within one.
      const int64_t q = static_cast<int64_t>(static_cast<double>(mag) * inv);
      int64_t r = static_cast<int64_t>(mag - static_cast<uint64_t>(q) * static_cast<uint64_t>(p));
      r += (r < 0) ? p : 0;
      r -= (r >= p) ? p : 0;
      out[i] = (s < 0 && r != 0) ? p - r : r;
    }
    if (streaming) {
      kernels::stream_copy(num_out + j * row_stride, block, count);
      kernels::stream_fill(denom_out + j * row_stride, denom_res[j], count);
    } else {
      std::fill(denom_out + j * row_stride, denom_out + j * row_stride + count, denom_res[j]);
    }
  }
  if (streaming) kernels::stream_fence();
}

template <typename T>
void scale_block(const T* x, int64_t count, int64_t* out) {
  for (int64_t i = 0; i < count; ++i) out[i] = scaled_value(static_cast<double>(x[i]));
}

void scale_block_int(const int64_t* x, int64_t count, int64_t* out) {
  for (int64_t i = 0; i < count; ++i) out[i] = static_cast<int64_t>(static_cast<uint64_t>(x[i]) << kFloatShift);
}

void capture_cpu(const at::Tensor& x, const int64_t* primes, const Residues& denom_res, at::Tensor& num,
                 at::Tensor& denom) {
  const int64_t n = x.numel();
  int64_t* num_ptr = num.data_ptr<int64_t>();
  int64_t* denom_ptr = denom.data_ptr<int64_t>();
  const bool streaming = 2 * num.nbytes() >= kernels::kStreamingThreshold;
  auto run = [&](auto scale) {
    at::parallel_for(0, n, kCaptureBlock, [&](int64_t begin, int64_t end) {
      int64_t scaled[kCaptureBlock];
      for (int64_t start = begin; start < end; start += kCaptureBlock) {
        const int64_t count = std::min(kCaptureBlock, end - start);
        scale(start, count, scaled);
        capture_rows(scaled, count, primes, n, num_ptr + start, denom_ptr + start, denom_res.data(), streaming);
      }
    });
  };
  switch (x.scalar_type()) {
    case at::kDouble: {
      const double* src = x.data_ptr<double>();
      run([&](int64_t s, int64_t c, int64_t* out) { scale_block(src + s, c, out); });
      break;
    }
    case at::kFloat: {
      const float* src = x.data_ptr<float>();
      run([&](int64_t s, int64_t c, int64_t* out) { scale_block(src + s, c, out); });
      break;
    }
    default: {
      // Other floating types are widened (exactly) to double first; integer and
      // bool tensors are multiplied by 2^52 in int64, wrapping like torch does.
      const bool integral = !at::isFloatingType(x.scalar_type());
      const at::Tensor wide = x.to(integral ? at::kLong : at::kDouble).contiguous();
      if (integral) {
        const int64_t* src = wide.data_ptr<int64_t>();
        run([&](int64_t s, int64_t c, int64_t* out) { scale_block_int(src + s, c, out); });
      } else {
        const double* src = wide.data_ptr<double>();
        run([&](int64_t s, int64_t c, int64_t* out) { scale_block(src + s, c, out); });
      }
    }
  }
}

// Any device: the scaled integers, then every residue row in one broadcast remainder.
at::Tensor capture_generic(const at::Tensor& x, const at::Tensor& primes) {
  at::Tensor scaled;
  if (at::isFloatingType(x.scalar_type())) {
    at::Tensor s = at::ldexp(x.to(at::kDouble), at::scalar_tensor(kFloatShift, x.options().dtype(at::kDouble)));
    // Saturated as scaled_value does: NaN to 0, values past either end of int64 to that end.
    const at::Tensor above = s >= 9223372036854775808.0;
    s = at::nan_to_num(s, 0.0).clamp(-9223372036854775808.0, 9223372036854774784.0);
    scaled = s.trunc().to(at::kLong).masked_fill(above, INT64_MAX);
  } else {
    scaled = x.to(at::kLong).mul(int64_t{1} << kFloatShift);
  }
  return at::remainder(scaled.unsqueeze(0), prime_column(primes, x.dim() + 1)).contiguous();
}

}  // namespace

Residues residues_of(int64_t value) {
  Residues r;
  for (int i = 0; i < kNumPrimes; ++i) r[i] = floor_mod(value, kStandardPrimes[i]);
  return r;
}

Residues residues_of(const BigInt& value) {
  if (value.fits_int64()) return residues_of(value.to_int64());
  Residues r;
  for (int i = 0; i < kNumPrimes; ++i) r[i] = value.mod(kStandardPrimes[i]);
  return r;
}

at::Tensor filled_residues(const Residues& res, at::IntArrayRef shape, at::Device device) {
  const auto sizes = residue_shape(shape);
  const auto cpu_long = at::TensorOptions().dtype(at::kLong);
  if (host_paths(device)) {
    // torch refuses sizes whose product overflows, so the row length is read
    // from the tensor rather than multiplied out before that check.
    at::Tensor out = at::empty(sizes, cpu_long);
    const int64_t per_row = out.numel() / kNumPrimes;
    int64_t* ptr = out.data_ptr<int64_t>();
    for (int i = 0; i < kNumPrimes; ++i) std::fill(ptr + i * per_row, ptr + (i + 1) * per_row, res[i]);
    return out;
  }
  // One small host-to-device copy, then one broadcast fill on the device.
  at::Tensor column = at::empty({kNumPrimes}, cpu_long);
  std::copy(res.begin(), res.end(), column.data_ptr<int64_t>());
  column = column.to(device);
  return prime_column(column, static_cast<int64_t>(sizes.size())).expand(sizes).contiguous();
}

at::Tensor filled_approx(double value, at::IntArrayRef shape, at::Device device) {
  const auto options = at::TensorOptions().dtype(at::kFloat);
  if (host_paths(device)) {
    at::Tensor out = at::empty(shape, options);
    float* ptr = out.data_ptr<float>();
    std::fill(ptr, ptr + out.numel(), static_cast<float>(value));
    return out;
  }
  return at::full(shape, static_cast<float>(value), options.device(device));
}

RationalTensor from_fraction(const BigInt& num, const BigInt& denom, at::IntArrayRef shape, at::Device device,
                             const at::Tensor& primes) {
  // torch's own message for a negative dimension (it names the user shape).
  at::detail::check_size_nonnegative(shape);
  at::Tensor num_res = filled_residues(residues_of(num), shape, device);
  at::Tensor denom_res = filled_residues(residues_of(denom), shape, device);
  const double quotient = true_divide(num, denom);
  return RationalTensor{num_res, denom_res, primes, filled_approx(quotient, shape, device)};
}

RationalTensor from_fraction(int64_t num, int64_t denom, at::IntArrayRef shape, at::Device device,
                             const at::Tensor& primes) {
  constexpr int64_t kExact = int64_t{1} << 53;
  if (num > -kExact && num < kExact && denom > -kExact && denom < kExact) {
    // Shape errors come before the division's, as they do when the residues are made first.
    at::detail::check_size_nonnegative(shape);
    if (denom == 0) fail(ErrorKind::ZeroDivision, "division by zero");
    at::Tensor num_res = filled_residues(residues_of(num), shape, device);
    at::Tensor denom_res = filled_residues(residues_of(denom), shape, device);
    const double quotient = static_cast<double>(num) / static_cast<double>(denom);
    return RationalTensor{num_res, denom_res, primes, filled_approx(quotient, shape, device)};
  }
  return from_fraction(BigInt::from_int64(num), BigInt::from_int64(denom), shape, device, primes);
}

RationalTensor from_tensor(const at::Tensor& x, const at::Tensor& primes) {
  if (x.is_complex()) fail(ErrorKind::Type, "from_tensor() expects a real tensor, got " + std::string(c10::toString(x.scalar_type())));
  const auto denom_res = residues_of(int64_t{1} << kFloatShift);
  at::Tensor num, denom;
  if (host_paths(x, primes) && primes.numel() == kNumPrimes && primes.scalar_type() == at::kLong) {
    const at::Tensor src = x.contiguous();
    const at::Tensor basis = primes.contiguous();
    const auto sizes = residue_shape(x.sizes());
    num = at::empty(sizes, at::TensorOptions().dtype(at::kLong));
    denom = at::empty(sizes, at::TensorOptions().dtype(at::kLong));
    if (src.numel() > 0) capture_cpu(src, basis.data_ptr<int64_t>(), denom_res, num, denom);
  } else {
    num = capture_generic(x, primes);
    denom = filled_residues(denom_res, x.sizes(), x.device());
  }
  return RationalTensor{num, denom, primes, x.to(at::kFloat)};
}

}  // namespace kalvex
