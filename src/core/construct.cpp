#include "core/construct.h"
#include "core/host_mod.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <sstream>
#include <tuple>

#include "core/errors.h"
#include "core/kernels/constant_rows.h"
#include "core/modmath.h"
#include "core/paths.h"
#include "core/simd.h"
#include "core/standard_basis.h"

namespace kalvex {

namespace {

constexpr int kFloatShift = 52;  // values are captured with denominator 2^52
constexpr int64_t kCaptureBlock = 2048;
// Values |v| >= 2048 (or integers |v| >= 2^11) scale to 2^63 and beyond:
// the fast loops mark them with this value, which no value below scales to.
constexpr int64_t kOutOfLine = INT64_MIN;

std::vector<int64_t> residue_shape(at::IntArrayRef shape) {
  std::vector<int64_t> sizes;
  sizes.reserve(shape.size() + 1);
  sizes.push_back(kNumPrimes);
  sizes.insert(sizes.end(), shape.begin(), shape.end());
  return sizes;
}

// trunc(v * 2^52) as int64 for |v| < 2048, kOutOfLine for anything else.
inline int64_t scaled_value(double v) {
  if (!(std::fabs(v) < 2048.0)) return kOutOfLine;  // NaN too
  return static_cast<int64_t>(v * 0x1p52);  // v * 2^52 is exact: a power of two
}

inline uint64_t magnitude(int64_t s) { return s < 0 ? 0 - static_cast<uint64_t>(s) : static_cast<uint64_t>(s); }

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

// trunc(v * 2^52) of a block, with the bitwise or of the magnitudes (whose
// top bit says that some value is out of line) and the largest |v| (which
// bounds the block's numerators when none is).
KALVEX_CLONES uint64_t scale_doubles(const double* __restrict__ x, int64_t count, int64_t* __restrict__ out,
                                     double& largest) {
  uint64_t bits = 0;
  double top = 0.0;
  for (int64_t i = 0; i < count; ++i) {
    out[i] = scaled_value(x[i]);
    bits |= magnitude(out[i]);
    const double a = std::fabs(x[i]);
    top = a > top ? a : top;
  }
  largest = top;
  return bits;
}

KALVEX_CLONES uint64_t scale_floats(const float* __restrict__ x, int64_t count, int64_t* __restrict__ out,
                                    double& largest) {
  uint64_t bits = 0;
  float top = 0.0f;
  for (int64_t i = 0; i < count; ++i) {
    out[i] = scaled_value(static_cast<double>(x[i]));
    bits |= magnitude(out[i]);
    const float a = std::fabs(x[i]);
    top = a > top ? a : top;
  }
  largest = top;
  return bits;
}

uint64_t scale_ints(const int64_t* x, int64_t count, int64_t* out, double& largest) {
  constexpr int64_t kLimit = int64_t{1} << (63 - kFloatShift);
  uint64_t bits = 0;
  for (int64_t i = 0; i < count; ++i) {
    out[i] = (x[i] > -kLimit && x[i] < kLimit) ? x[i] * (int64_t{1} << kFloatShift) : kOutOfLine;
    bits |= magnitude(out[i]);
  }
  // The or of the in-line magnitudes is at least the largest (and below 2^63).
  largest = std::ldexp(static_cast<double>(bits & ~(uint64_t{1} << 63)), -kFloatShift);
  return bits;
}

// The size bound of trunc(v 2^52) for values |v| <= largest.
int64_t scaled_magnitude_bound(double largest) {
  if (largest == 0.0) return 0;
  return static_cast<int64_t>(std::ceil((std::log2(largest * (1.0 + 0x1p-52)) + kFloatShift) * kBoundUnit)) + 1;
}

// The exact captured numerator of an element out of line, as m * 2^k: m a
// signed integer below 2^53 (below 2^63 for integers), k >= 0; or the
// element itself when it is not finite.
struct Scaled {
  int64_t m = 0;
  int k = 0;
  double refused = 0.0;
  bool finite = true;
};

Scaled scaled_double(double v) {
  if (!std::isfinite(v)) return {0, 0, v, false};
  int e;
  const double f = std::frexp(v, &e);  // v = f 2^e, 0.5 <= |f| < 1
  return {static_cast<int64_t>(std::ldexp(f, 53)), e - 53 + kFloatShift};
}

// The size bound of m 2^k (NOTE: [Size bounds]).
int64_t scaled_bound(const Scaled& s) { return bounds::plus(value_bound(s.m), bounds::of_bits(s.k)); }

// (m * 2^k) mod p.
int64_t scaled_residue(const Scaled& s, int64_t p) {
  const Modulus m(p);
  return mul_mod(floor_mod(s.m, p), as_residue(pow_mod_d(2.0, static_cast<uint64_t>(s.k), m)), m);
}

[[noreturn]] void refuse_value(double v) {
  std::ostringstream message;
  message << "from_tensor() captures finite values only, got " << (std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf"));
  fail(ErrorKind::Value, message.str());
}

// The capture of a block on the host, out of line values included.
class HostCapture {
 public:
  HostCapture(int64_t n, const int64_t* primes, int64_t* num) : n_(n), primes_(primes), num_(num) {}

  template <typename Scale, typename Exact>
  void run(Scale scale, Exact exact) {
    at::parallel_for(0, n_, kCaptureBlock, [&](int64_t begin, int64_t end) {
      int64_t scaled[kCaptureBlock];
      for (int64_t start = begin; start < end; start += kCaptureBlock) {
        const int64_t count = std::min(kCaptureBlock, end - start);
        double largest = 0.0;
        const uint64_t bits = scale(start, count, scaled, largest);
        capture_rows(scaled, count, primes_, n_, num_ + start);
        // The magnitude of kOutOfLine is 2^63 exactly; every other one is below.
        if (bits >> 63) {
          uint64_t in_line = 0;
          for (int64_t i = 0; i < count; ++i) {
            if (scaled[i] == kOutOfLine) {
              out_of_line(start + i, exact(start + i));
            } else {
              in_line = std::max(in_line, magnitude(scaled[i]));
            }
          }
          raise_bound(value_bound(static_cast<int64_t>(in_line)));
        } else {
          raise_bound(scaled_magnitude_bound(largest));
        }
      }
    });
    if (refused_at_ >= 0) refuse_value(refused_);
  }

  // The size bound of the numerators captured.
  int64_t bound() const { return bound_.load(); }

 private:
  void out_of_line(int64_t i, const Scaled& s) {
    if (!s.finite) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (refused_at_ < 0 || i < refused_at_) {
        refused_at_ = i;
        refused_ = s.refused;
      }
      return;
    }
    for (int j = 0; j < kNumPrimes; ++j) num_[j * n_ + i] = scaled_residue(s, primes_[j]);
    raise_bound(scaled_bound(s));
  }

  void raise_bound(int64_t b) {
    int64_t current = bound_.load();
    while (b > current && !bound_.compare_exchange_weak(current, b)) {
    }
  }

  int64_t n_;
  const int64_t* primes_;
  int64_t* num_;
  std::atomic<int64_t> bound_{0};
  std::mutex mutex_;
  int64_t refused_at_ = -1;  // the first element not finite, and its value
  double refused_ = 0.0;
};

// The first value of a floating tensor that is not finite, refused.
void refuse_non_finite(const at::Tensor& x) {
  const at::Tensor bad = x.isfinite().logical_not();
  if (bad.any().item<bool>()) refuse_value(x.masked_select(bad).select(0, 0).item<double>());
}

// The captured numerators of x on the host; returns their size bound.
int64_t capture_cpu(const at::Tensor& x, const int64_t* primes, at::Tensor& num) {
  HostCapture capture(x.numel(), primes, num.data_ptr<int64_t>());
  switch (x.scalar_type()) {
    case at::kDouble: {
      const double* src = x.data_ptr<double>();
      capture.run([&](int64_t s, int64_t c, int64_t* out, double& top) { return scale_doubles(src + s, c, out, top); },
                  [&](int64_t i) { return scaled_double(src[i]); });
      break;
    }
    case at::kFloat: {
      const float* src = x.data_ptr<float>();
      capture.run([&](int64_t s, int64_t c, int64_t* out, double& top) { return scale_floats(src + s, c, out, top); },
                  [&](int64_t i) { return scaled_double(static_cast<double>(src[i])); });
      break;
    }
    default: {
      // Other floating types are widened (exactly) to double first; integer
      // and bool tensors are read as int64.
      const bool integral = !at::isFloatingType(x.scalar_type());
      const at::Tensor wide = x.to(integral ? at::kLong : at::kDouble).contiguous();
      if (integral) {
        const int64_t* src = wide.data_ptr<int64_t>();
        capture.run([&](int64_t s, int64_t c, int64_t* out, double& top) { return scale_ints(src + s, c, out, top); },
                    [&](int64_t i) { return Scaled{src[i], kFloatShift}; });
      } else {
        const double* src = wide.data_ptr<double>();
        capture.run([&](int64_t s, int64_t c, int64_t* out, double& top) { return scale_doubles(src + s, c, out, top); },
                    [&](int64_t i) { return scaled_double(src[i]); });
      }
    }
  }
  return capture.bound();
}

// 2^k mod p for k < kPowerCount, as a [P, kPowerCount] table on the host:
// every exponent a double's capture needs (k <= 1023 + 52 - 53).
constexpr int64_t kPowerCount = 1024;

const at::Tensor& power_table() {
  static const at::Tensor* table = [] {
    auto* t = new at::Tensor(at::empty({kNumPrimes, kPowerCount}, at::TensorOptions().dtype(at::kLong)));
    int64_t* out = t->data_ptr<int64_t>();
    for (int j = 0; j < kNumPrimes; ++j) {
      const Modulus m(kStandardPrimes[j]);
      int64_t r = 1;
      for (int64_t k = 0; k < kPowerCount; ++k) {
        out[j * kPowerCount + k] = r;
        r = mul_mod(r, 2, m);
      }
    }
    return t;
  }();
  return *table;
}

// Any device: the numerators as whole-tensor operations, and their size
// bound from one read of the largest magnitude.
//   |v| < 2048: trunc(ldexp(v, 52)) as int64, then every residue row in one
//   broadcast remainder;
//   beyond: v = m 2^(k - 52) with m = frexp's mantissa times 2^53, and the
//   residue (m mod p)(2^k mod p) mod p from the table of powers of two.
// Integers are v (2^52 mod p) mod p throughout.
at::Tensor capture_generic(const at::Tensor& x, const at::Tensor& primes, int64_t& bound) {
  if (x.is_meta()) {  // no values: only the layout of the result
    bound = kUnknownBound;
    return at::empty(residue_shape(x.sizes()), x.options().dtype(at::kLong));
  }
  const at::Tensor column = prime_column(primes, x.dim() + 1);
  const at::Tensor shift = at::remainder(at::full_like(primes, int64_t{1} << kFloatShift), primes);
  if (!at::isFloatingType(x.scalar_type())) {
    const at::Tensor v = x.to(at::kLong);
    const at::Tensor extremes = at::stack({v.min(), v.max()}).cpu();
    const int64_t lo = extremes[0].item<int64_t>(), hi = extremes[1].item<int64_t>();
    bound = lo == 0 && hi == 0 ? 0 : scaled_bound(Scaled{magnitude(lo) > magnitude(hi) ? lo : hi, kFloatShift});
    const at::Tensor low = at::remainder(v.unsqueeze(0), column);
    return at::remainder(low * prime_column(shift, x.dim() + 1), column).contiguous();
  }
  const at::Tensor v = x.to(at::kDouble);
  const at::Tensor largest = v.abs().max().cpu();  // NaN propagates, inf is largest
  const double top = largest.item<double>();
  if (!std::isfinite(top)) refuse_non_finite(v);
  bound = top == 0.0 ? 0 : value_bound(captured_numerator(top));
  const at::Tensor in_line = v.abs() < 2048.0;
  const at::Tensor small_v = top < 2048.0 ? v : v.masked_fill(in_line.logical_not(), 0.0);
  const at::Tensor small = at::remainder(
      at::ldexp(small_v, at::scalar_tensor(kFloatShift, v.options())).trunc().to(at::kLong).unsqueeze(0), column);
  if (top < 2048.0) return small.contiguous();
  at::Tensor mantissa, exponent;
  std::tie(mantissa, exponent) = at::frexp(v);
  const at::Tensor m = at::ldexp(mantissa, at::scalar_tensor(53, v.options())).to(at::kLong);
  const at::Tensor k = (exponent.to(at::kLong) - 53 + kFloatShift).clamp(0, kPowerCount - 1);
  const at::Tensor table = power_table().to(x.device());
  const at::Tensor powers = table.index_select(1, k.reshape({-1})).view(residue_shape(x.sizes()));
  const at::Tensor large = at::remainder(at::remainder(m.unsqueeze(0), column) * powers, column);
  return at::where(in_line.unsqueeze(0), small, large).contiguous();
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

int64_t value_bound(mpz_srcptr v) {
  if (mpz_sgn(v) == 0) return 0;
  long exponent;
  const double mantissa = std::fabs(mpz_get_d_2exp(&exponent, v));  // truncated, in [0.5, 1)
  const double log2v = static_cast<double>(exponent) + std::log2(mantissa + 0x1p-52);
  const int64_t bound = static_cast<int64_t>(std::ceil(log2v * kBoundUnit)) + 1;
  if (bound < kRangeBound - kBoundUnit) return bound;
  // M // 2 of the standard basis, made once: at the end of the range the
  // bound says exactly which side the value is on.
  static const BigInt* half = [] {
    auto* h = new BigInt(1);
    for (int64_t p : kStandardPrimes) mpz_mul_ui(h->get(), h->get(), static_cast<unsigned long>(p));
    mpz_fdiv_q_2exp(h->get(), h->get(), 1);
    return h;
  }();
  return mpz_cmpabs(v, half->get()) <= 0 ? std::min(bound, kRangeBound) : std::max(bound, kRangeBound + 1);
}

int64_t value_floor(mpz_srcptr v) {
  if (mpz_sgn(v) == 0) return kNoFloor;
  long exponent;
  const double mantissa = std::fabs(mpz_get_d_2exp(&exponent, v));  // truncated: at most the true one
  const double log2v = static_cast<double>(exponent) + std::log2(mantissa);
  return std::max<int64_t>(0, static_cast<int64_t>(std::floor(log2v * kBoundUnit)) - 1);
}

BitBounds exact_bounds(const BigInt& num, const BigInt& den) {
  return {value_bound(num), value_bound(den), value_floor(num.get()), value_floor(den.get())};
}

BitBounds exact_bounds(int64_t num, int64_t den) {
  return {value_bound(num), value_bound(den), value_floor(num), value_floor(den)};
}

int64_t value_floor(int64_t v) {
  if (v == 0) return kNoFloor;
  const double magnitude = std::fabs(static_cast<double>(v));  // within 2^-53 of |v|
  const double log2v = std::log2(magnitude * (1.0 - 0x1p-52));
  return std::max<int64_t>(0, static_cast<int64_t>(std::floor(log2v * kBoundUnit)) - 1);
}

int64_t value_bound(int64_t v) {
  if (v == 0) return 0;
  const double magnitude = std::fabs(static_cast<double>(v));  // within 2^-53 of |v|
  return static_cast<int64_t>(std::ceil(std::log2(magnitude * (1.0 + 0x1p-52)) * kBoundUnit)) + 1;
}

RationalTensor filled_value(const Residues& num, const Residues& den, double approx, const BitBounds& bits,
                            at::IntArrayRef shape, at::Device device) {
  RationalTensor out{filled_residues(num, shape, device), filled_residues(den, shape, device),
                     standard_primes(device), filled_approx(approx, shape, device)};
  out.bits = bits;
  return out;
}

RationalTensor from_fraction(const BigInt& num, const BigInt& denom, at::IntArrayRef shape, at::Device device) {
  // torch's own message for a negative dimension (it names the user shape).
  at::detail::check_size_nonnegative(shape);
  const Residues num_res = residues_of(num), denom_res = residues_of(denom);
  const double quotient = true_divide(num, denom);
  return filled_value(num_res, denom_res, quotient, exact_bounds(num, denom), shape, device);
}

RationalTensor from_fraction(int64_t num, int64_t denom, at::IntArrayRef shape, at::Device device) {
  constexpr int64_t kExact = int64_t{1} << 53;
  if (num > -kExact && num < kExact && denom > -kExact && denom < kExact) {
    // Shape errors come before the division's, as they do when the residues are made first.
    at::detail::check_size_nonnegative(shape);
    if (denom == 0) fail(ErrorKind::ZeroDivision, "division by zero");
    const double quotient = static_cast<double>(num) / static_cast<double>(denom);
    const BitBounds bits = exact_bounds(num, denom);
    return filled_value(residues_of(num), residues_of(denom), quotient, bits, shape, device);
  }
  return from_fraction(BigInt::from_int64(num), BigInt::from_int64(denom), shape, device);
}

double nearest_quotient(const BigInt& num, const BigInt& den) {
  try {
    return true_divide(num, den);
  } catch (const Error&) {
    return (num.sign() < 0) != (den.sign() < 0) ? -HUGE_VAL : HUGE_VAL;
  }
}

double nearest_quotient(int64_t num, int64_t den) {
  constexpr int64_t kExact = int64_t{1} << 53;
  if (num > -kExact && num < kExact && den > -kExact && den < kExact)
    return static_cast<double>(num) / static_cast<double>(den);
  return nearest_quotient(BigInt::from_int64(num), BigInt::from_int64(den));
}

RationalTensor from_value(const BigInt& num, const BigInt& den, at::IntArrayRef shape, at::Device device) {
  return filled_value(residues_of(num), residues_of(den), nearest_quotient(num, den), exact_bounds(num, den), shape,
                      device);
}

RationalTensor from_host_fractions(const HostFractions& values, at::IntArrayRef shape, at::Device device) {
  at::detail::check_size_nonnegative(shape);
  const auto count = static_cast<int64_t>(values.num.size());
  const auto options = at::TensorOptions().dtype(at::kLong);
  at::Tensor num = at::empty({kNumPrimes, count}, options), den = at::empty({kNumPrimes, count}, options);
  at::Tensor approx = at::empty({count}, at::TensorOptions().dtype(at::kFloat));
  int64_t* num_rows = num.data_ptr<int64_t>();
  int64_t* den_rows = den.data_ptr<int64_t>();
  float* approx_out = approx.data_ptr<float>();
  // Prime by prime, so that each row is written in order.
  for (int i = 0; i < kNumPrimes; ++i) {
    const Modulus m(kStandardPrimes[static_cast<size_t>(i)]);
    int64_t* n = num_rows + i * count;
    int64_t* d = den_rows + i * count;
    for (int64_t e = 0; e < count; ++e) {
      n[e] = reduce_int64(values.num[static_cast<size_t>(e)], m);
      d[e] = reduce_int64(values.den[static_cast<size_t>(e)], m);
    }
  }
  BitBounds bits{0, 0, kUnknownBound, kUnknownBound};
  for (int64_t e = 0; e < count; ++e) {
    const int64_t a = values.num[static_cast<size_t>(e)], b = values.den[static_cast<size_t>(e)];
    if (b == 0) continue;  // held in `large`
    approx_out[e] = static_cast<float>(nearest_quotient(a, b));
    bits = either_bounds(bits, exact_bounds(a, b));
  }
  for (const HostFractions::Large& v : values.large) {
    const auto e = static_cast<int64_t>(v.position);
    const Residues n = residues_of(v.num), d = residues_of(v.den);
    for (int i = 0; i < kNumPrimes; ++i) {
      num_rows[i * count + e] = n[static_cast<size_t>(i)];
      den_rows[i * count + e] = d[static_cast<size_t>(i)];
    }
    approx_out[e] = static_cast<float>(nearest_quotient(v.num, v.den));
    bits = either_bounds(bits, exact_bounds(v.num, v.den));
  }
  if (count == 0) bits = {0, 0, kNoFloor, kNoFloor};
  std::vector<int64_t> sizes = residue_shape(shape);
  RationalTensor out{num.view(sizes), den.view(sizes), standard_primes(device), approx.view(shape)};
  if (!device.is_cpu()) {
    out.num = out.num.to(device);
    out.denom = out.denom.to(device);
    out.approx = out.approx->to(device);
  }
  out.bits = bits;
  return out;
}

RationalTensor from_tensor(const at::Tensor& x) {
  if (x.is_complex()) fail(ErrorKind::Type, "from_tensor() expects a real tensor, got " + std::string(c10::toString(x.scalar_type())));
  const at::Tensor primes = standard_primes(x.device());
  at::Tensor num;
  int64_t bound = 0;
  if (x.numel() == 0) {
    num = at::empty(residue_shape(x.sizes()), x.options().dtype(at::kLong));
  } else if (cpu_capture_applies(x, primes)) {
    const at::Tensor src = x.contiguous();
    const at::Tensor basis = primes.contiguous();
    num = at::empty(residue_shape(x.sizes()), at::TensorOptions().dtype(at::kLong));
    bound = capture_cpu(src, basis.data_ptr<int64_t>(), num);
  } else {
    num = capture_generic(x, primes, bound);
  }
  // Every denominator is 2^52: one column (NOTE: [Constant rows]).
  at::Tensor denom = filled_residues(residues_of(int64_t{1} << kFloatShift), x.sizes(), x.device());
  RationalTensor out{num, denom, primes, x.to(at::kFloat)};
  out.bits = {bound, kFloatShift * kBoundUnit, kNoFloor, kFloatShift * kBoundUnit};  // denominators 2^52
  return out;
}

BigInt captured_numerator(double v) {
  if (!std::isfinite(v)) refuse_value(v);
  const int64_t fast = scaled_value(v);
  if (fast != kOutOfLine) return BigInt::from_int64(fast);
  const Scaled s = scaled_double(v);
  BigInt out = BigInt::from_int64(s.m);
  mpz_mul_2exp(out.get(), out.get(), static_cast<mp_bitcnt_t>(s.k));
  return out;
}

}  // namespace kalvex
