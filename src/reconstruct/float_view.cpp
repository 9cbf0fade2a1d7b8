#include "reconstruct/float_view.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <cmath>
#include <limits>

#include "core/basis.h"
#include "core/errors.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/host_copy.h"
#include "reconstruct/rational.h"

namespace kalvex {

namespace {

static_assert(GMP_NUMB_BITS == 64, "nearest_double reads 54 bits from one limb");

// The double nearest to v (ties to even), as the host's float(int) gives it;
// mpz_get_d alone truncates.  `scratch` avoids an allocation per call.
double nearest_double(mpz_srcptr v, mpz_ptr scratch) {
  const size_t bits = mpz_sizeinbase(v, 2);
  if (bits <= 53) return mpz_get_d(v);
  const size_t shift = bits - 54;
  mpz_tdiv_q_2exp(scratch, v, shift);
  uint64_t top = mpz_getlimbn(scratch, 0);  // the leading 54 bits of |v|
  const bool sticky = mpz_scan1(v, 0) < shift;
  uint64_t mantissa = top >> 1;
  if ((top & 1) && (sticky || (mantissa & 1))) ++mantissa;
  const double magnitude = std::ldexp(static_cast<double>(mantissa), static_cast<int>(shift + 1));
  return mpz_sgn(v) < 0 ? -magnitude : magnitude;
}

[[noreturn]] void out_of_bounds(int64_t size) {
  fail(ErrorKind::Index,
       "index " + std::to_string(size) + " is out of bounds for dimension 0 with size " + std::to_string(size));
}

// The first N_PRIMES residue rows of one slot, as [N_PRIMES, elements], or
// their column when the rows are constant (not materialised).
at::Tensor residue_rows(const at::Tensor& residues, int64_t count) {
  if (residues.dim() == 0 || residues.size(0) < kNumPrimes) out_of_bounds(residues.dim() == 0 ? 0 : residues.size(0));
  // Rows are read as flat views; a layout that cannot be viewed so is refused
  // with torch's own error, as a row-by-row read would be.
  check_with_torch([&] { return residues.select(0, 0).view({-1}); });
  const int64_t elements = residues.numel() / residues.size(0);
  if (elements < count) out_of_bounds(elements);
  if (has_constant_rows(residues)) return residue_column(residues).narrow(0, 0, kNumPrimes);
  return residues.narrow(0, 0, kNumPrimes).reshape({kNumPrimes, -1});
}

// Those rows on the host: element i of row r at data[r * row_stride + i * step]
// (a column, one dimension, is the same for every element).
struct HostRows {
  at::Tensor rows;  // keeps the data alive
  const int64_t* data;
  int64_t row_stride, step;

  explicit HostRows(const at::Tensor& host)
      : rows(host.contiguous()), data(rows.data_ptr<int64_t>()), row_stride(rows.dim() == 1 ? 1 : rows.size(1)),
        step(rows.dim() == 1 ? 0 : 1) {}
};

}  // namespace

at::Tensor float_view(const RationalTensor& x, at::IntArrayRef shape, at::Device device) {
  const at::Tensor &num = x.num, &denom = x.denom, &primes = x.primes;
  std::vector<int64_t> out_shape(shape.begin(), shape.end());
  if (out_shape.empty()) out_shape.push_back(1);
  int64_t count = 1;
  for (int64_t s : out_shape) count *= s;

  // Residues and primes in one copy.
  const std::vector<at::Tensor> host = host_int64({residue_rows(num, count), residue_rows(denom, count), primes});
  const at::Tensor basis_host = host[2].reshape({-1}).contiguous();
  const auto basis = crt_basis(basis_host.data_ptr<int64_t>(), static_cast<size_t>(basis_host.numel()));
  const HostRows num_rows(host[0]);
  const HostRows den_rows(host[1]);
  // Constant rows in both halves: one value, broadcast over the shape.
  const bool one_value = num_rows.step == 0 && den_rows.step == 0 && count > 1;
  const int64_t values = one_value ? 1 : count;

  at::Tensor result = at::empty({values}, at::TensorOptions().dtype(at::kFloat));
  float* out = result.data_ptr<float>();
  // A few hundred elements per task: each costs about a microsecond of GMP work.
  at::parallel_for(0, values, 256, [&](int64_t begin, int64_t end) {
    FractionReader reader(*basis);
    BigInt scratch;
    for (int64_t i = begin; i < end; ++i) {
      reader.read(num_rows.data + i * num_rows.step, num_rows.row_stride, den_rows.data + i * den_rows.step,
                  den_rows.row_stride, kNumPrimes, x.bits);
      if (!reader.readable()) {
        out[i] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      if (reader.den().sign() == 0) {
        out[i] = 0.0f;
        continue;
      }
      const double n = nearest_double(reader.num().get(), scratch.get());
      const double d = nearest_double(reader.den().get(), scratch.get());
      out[i] = static_cast<float>(n / d);
    }
  });
  if (one_value) return result.to(device).view(std::vector<int64_t>(out_shape.size(), 1)).expand(out_shape);
  return result.view(out_shape).to(device);
}

}  // namespace kalvex
