#include "core/construct.h"
#include "core/host_mod.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <cmath>

#include "core/errors.h"
#include "core/kernels/constant_rows.h"
#include "core/paths.h"
#include "core/simd.h"
#include "core/standard_basis.h"

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
  const double s = v * 0x1p52;  // exact, as ldexp(v, 52): a power of two
  if (!(s == s)) return 0;
  if (s >= 9223372036854775808.0) return INT64_MAX;
  if (s < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(s);
}

// One block of the capture: scaled values in, one row of numerator residues
// per prime out (the denominators are one column, NOTE: [Constant rows]).
// The floor residue of s is s - q p for q the nearest integer to s / p,
// estimated in doubles (|s| <= 2^63, p > 2^30: the estimate is within 2^-18
// of s / p), so the difference, formed modulo 2^64, lies in (-p, p) and one
// conditional step brings it into [0, p).  Rows are stored directly:
// non-temporal stores measured slower here (bench/bench_construct.py).
KALVEX_CLONES
void capture_rows(const int64_t* __restrict__ scaled, int64_t count, const int64_t* primes, int64_t row_stride,
                  int64_t* __restrict__ num_out) {
  alignas(64) double approx[kCaptureBlock];
  for (int64_t i = 0; i < count; ++i) approx[i] = static_cast<double>(scaled[i]);
  for (int j = 0; j < kNumPrimes; ++j) {
    const int64_t p = primes[j];
    const double inv = 1.0 / static_cast<double>(p);
    int64_t* __restrict__ out = num_out + j * row_stride;
    for (int64_t i = 0; i < count; ++i) {
      const int64_t q = static_cast<int64_t>(std::rint(approx[i] * inv));
      const int64_t r = static_cast<int64_t>(static_cast<uint64_t>(scaled[i]) - static_cast<uint64_t>(q) * static_cast<uint64_t>(p));
      out[i] = r + ((r < 0) ? p : 0);
    }
  }
}

// trunc(v * 2^52) of a block of floats.
KALVEX_CLONES void scale_doubles(const double* __restrict__ x, int64_t count, int64_t* __restrict__ out) {
  for (int64_t i = 0; i < count; ++i) out[i] = scaled_value(x[i]);
}

KALVEX_CLONES void scale_floats(const float* __restrict__ x, int64_t count, int64_t* __restrict__ out) {
  for (int64_t i = 0; i < count; ++i) out[i] = scaled_value(static_cast<double>(x[i]));
}

void scale_block_int(const int64_t* x, int64_t count, int64_t* out) {
  for (int64_t i = 0; i < count; ++i) out[i] = static_cast<int64_t>(static_cast<uint64_t>(x[i]) << kFloatShift);
}

void capture_cpu(const at::Tensor& x, const int64_t* primes, at::Tensor& num) {
  const int64_t n = x.numel();
  int64_t* num_ptr = num.data_ptr<int64_t>();
  auto run = [&](auto scale) {
    at::parallel_for(0, n, kCaptureBlock, [&](int64_t begin, int64_t end) {
      int64_t scaled[kCaptureBlock];
      for (int64_t start = begin; start < end; start += kCaptureBlock) {
        const int64_t count = std::min(kCaptureBlock, end - start);
        scale(start, count, scaled);
        capture_rows(scaled, count, primes, n, num_ptr + start);
      }
    });
  };
  switch (x.scalar_type()) {
    case at::kDouble: {
      const double* src = x.data_ptr<double>();
      run([&](int64_t s, int64_t c, int64_t* out) { scale_doubles(src + s, c, out); });
      break;
    }
    case at::kFloat: {
      const float* src = x.data_ptr<float>();
      run([&](int64_t s, int64_t c, int64_t* out) { scale_floats(src + s, c, out); });
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
        run([&](int64_t s, int64_t c, int64_t* out) { scale_doubles(src + s, c, out); });
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

// The CPU capture loop applies: host tensors in the standard layout of the basis.
bool cpu_capture_applies(const at::Tensor& x, const at::Tensor& primes) {
  return host_paths(x, primes) && primes.numel() == kNumPrimes && primes.scalar_type() == at::kLong;
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
  // torch's own message for a negative dimension (it names the user shape).
  at::detail::check_size_nonnegative(shape);
  at::Tensor column = at::empty({kNumPrimes}, at::TensorOptions().dtype(at::kLong));
  std::copy(res.begin(), res.end(), column.data_ptr<int64_t>());
  if (!device.is_cpu()) column = column.to(device);
  // One value per prime, broadcast over the shape (NOTE: [Constant rows]).
  return shape.empty() ? column : broadcast_column(column, shape);
}

at::Tensor filled_approx(double value, at::IntArrayRef shape, at::Device device) {
  at::Tensor one = at::empty({}, at::TensorOptions().dtype(at::kFloat));
  *one.data_ptr<float>() = static_cast<float>(value);
  if (!device.is_cpu()) one = one.to(device);
  return shape.empty() ? one : one.expand(shape);
}

RationalTensor from_fraction(const BigInt& num, const BigInt& denom, at::IntArrayRef shape, at::Device device) {
  // torch's own message for a negative dimension (it names the user shape).
  at::detail::check_size_nonnegative(shape);
  at::Tensor num_res = filled_residues(residues_of(num), shape, device);
  at::Tensor denom_res = filled_residues(residues_of(denom), shape, device);
  const double quotient = true_divide(num, denom);
  return RationalTensor{num_res, denom_res, standard_primes(device), filled_approx(quotient, shape, device)};
}

RationalTensor from_fraction(int64_t num, int64_t denom, at::IntArrayRef shape, at::Device device) {
  constexpr int64_t kExact = int64_t{1} << 53;
  if (num > -kExact && num < kExact && denom > -kExact && denom < kExact) {
    // Shape errors come before the division's, as they do when the residues are made first.
    at::detail::check_size_nonnegative(shape);
    if (denom == 0) fail(ErrorKind::ZeroDivision, "division by zero");
    at::Tensor num_res = filled_residues(residues_of(num), shape, device);
    at::Tensor denom_res = filled_residues(residues_of(denom), shape, device);
    const double quotient = static_cast<double>(num) / static_cast<double>(denom);
    return RationalTensor{num_res, denom_res, standard_primes(device), filled_approx(quotient, shape, device)};
  }
  return from_fraction(BigInt::from_int64(num), BigInt::from_int64(denom), shape, device);
}

RationalTensor from_tensor(const at::Tensor& x) {
  if (x.is_complex()) fail(ErrorKind::Type, "from_tensor() expects a real tensor, got " + std::string(c10::toString(x.scalar_type())));
  const at::Tensor primes = standard_primes(x.device());
  at::Tensor num;
  if (cpu_capture_applies(x, primes)) {
    const at::Tensor src = x.contiguous();
    const at::Tensor basis = primes.contiguous();
    num = at::empty(residue_shape(x.sizes()), at::TensorOptions().dtype(at::kLong));
    if (src.numel() > 0) capture_cpu(src, basis.data_ptr<int64_t>(), num);
  } else {
    num = capture_generic(x, primes);
  }
  // Every denominator is 2^52: one column (NOTE: [Constant rows]).
  at::Tensor denom = filled_residues(residues_of(int64_t{1} << kFloatShift), x.sizes(), x.device());
  return RationalTensor{num, denom, primes, x.to(at::kFloat)};
}

}  // namespace kalvex
