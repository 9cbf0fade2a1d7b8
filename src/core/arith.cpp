#include "core/arith.h"

#include <ATen/ATen.h>
#include <ATen/ExpandUtils.h>

#include <sstream>

#include "core/checks.h"
#include "core/errors.h"
#include "core/kernels/launch.h"

namespace kalvex {

namespace {

// Operands of different ranks would align the prime axis of one with a user
// axis of the other and broadcast into a wrong result: refuse them up front.
void check_same_rank(const RationalTensor& x, const RationalTensor& y) {
  if (x.num.dim() == y.num.dim()) return;
  std::ostringstream message;
  message << "ModularTensor operands must have the same number of dimensions, got shapes " << x.shape() << " and "
          << y.shape();
  fail(ErrorKind::Runtime, message.str());
}

at::DimVector broadcast_sizes(std::initializer_list<const at::Tensor*> tensors) {
  at::DimVector sizes((*tensors.begin())->sizes().begin(), (*tensors.begin())->sizes().end());
  for (const at::Tensor* t : tensors) sizes = at::infer_size_dimvector(sizes, t->sizes());
  return sizes;
}

// x and y as the operands of a kernel; the broadcast residue shape.
template <typename Args>
at::DimVector bind_operands(Args& args, const RationalTensor& x, const RationalTensor& y) {
  args.a = x.num;
  args.b = x.denom;
  args.c = y.num;
  args.d = y.denom;
  args.primes = prime_column(x.primes, x.num.dim());
  return broadcast_sizes({&args.a, &args.b, &args.c, &args.d, &args.primes});
}

bool small_cpu_floats(const at::Tensor& a, const at::Tensor& b) {
  return a.device().is_cpu() && b.device().is_cpu() && a.scalar_type() == at::kFloat &&
         b.scalar_type() == at::kFloat && a.is_contiguous() && b.is_contiguous() && a.sizes().equals(b.sizes()) &&
         a.numel() <= 4096;
}

// The float view of x op y, as torch computes it on the two approximations.
at::Tensor combine_approx(BinaryOp op, const at::Tensor& a, const at::Tensor& b) {
  constexpr double kDivisorShift = 1e-30;  // keeps a zero divisor from giving NaN
  if (small_cpu_floats(a, b)) {
    // Same IEEE float32 operations as torch, without its dispatch overhead.
    at::Tensor out = at::empty(a.sizes(), a.options());
    const float *pa = a.data_ptr<float>(), *pb = b.data_ptr<float>();
    float* po = out.data_ptr<float>();
    const int64_t n = a.numel();
    const float shift = static_cast<float>(kDivisorShift);
    switch (op) {
      case BinaryOp::Add: for (int64_t i = 0; i < n; ++i) po[i] = pa[i] + pb[i]; break;
      case BinaryOp::Sub: for (int64_t i = 0; i < n; ++i) po[i] = pa[i] - pb[i]; break;
      case BinaryOp::Mul: for (int64_t i = 0; i < n; ++i) po[i] = pa[i] * pb[i]; break;
      case BinaryOp::Div: for (int64_t i = 0; i < n; ++i) po[i] = pa[i] / (pb[i] + shift); break;
    }
    return out;
  }
  switch (op) {
    case BinaryOp::Add: return at::add(a, b);
    case BinaryOp::Sub: return at::sub(a, b);
    case BinaryOp::Mul: return at::mul(a, b);
    case BinaryOp::Div: return at::div(a, at::add(b, kDivisorShift));
  }
  return a;
}

}  // namespace

RationalTensor binary(BinaryOp op, const RationalTensor& x, const RationalTensor& y) {
  check_same_rank(x, y);
  kernels::BinaryArgs args;
  const auto sizes = bind_operands(args, x, y);
  args.out_num = at::empty(sizes, x.num.options());
  args.out_den = at::empty(sizes, x.num.options());
  kernels::binary(op, args);
  c10::optional<at::Tensor> approx;
  if (x.approx && y.approx) approx = combine_approx(op, *x.approx, *y.approx);
  return RationalTensor{args.out_num, args.out_den, x.primes, approx};
}

RationalTensor negate(const RationalTensor& x) {
  kernels::NegArgs args;
  args.a = x.num;
  args.primes = prime_column(x.primes, x.num.dim());
  args.out_num = at::empty(broadcast_sizes({&args.a, &args.primes}), x.num.options());
  kernels::neg(args);
  c10::optional<at::Tensor> approx;
  if (x.approx) approx = at::neg(*x.approx);
  return RationalTensor{args.out_num, x.denom.clone(), x.primes, approx};
}

at::Tensor equal(const RationalTensor& x, const RationalTensor& y) {
  check_same_rank(x, y);
  // The flags kernel reads its operands as int64 (y's modulo x's primes), and
  // its iterator, whose output is bool, does not compare dtypes: another dtype
  // must stop here.
  check_residues(x);
  check_residues(RationalTensor{y.num, y.denom, x.primes, c10::nullopt});
  kernels::EqualArgs args;
  const auto sizes = bind_operands(args, x, y);
  args.out = at::empty(sizes, x.num.options().dtype(at::kBool));
  kernels::equal_flags(args);
  return args.out.all(0);
}

}  // namespace kalvex
