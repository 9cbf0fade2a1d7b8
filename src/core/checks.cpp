#include "core/checks.h"

#include <ATen/ATen.h>

#include <sstream>

#include "core/errors.h"
#include "core/kernels/host_copy.h"

namespace kalvex {

namespace {

// The dtype as torch prints it (torch.int16, torch.float64, ...).
std::string dtype_name(at::ScalarType type) {
  switch (type) {
    case at::kByte: return "torch.uint8";
    case at::kChar: return "torch.int8";
    case at::kShort: return "torch.int16";
    case at::kInt: return "torch.int32";
    case at::kLong: return "torch.int64";
    case at::kHalf: return "torch.float16";
    case at::kBFloat16: return "torch.bfloat16";
    case at::kFloat: return "torch.float32";
    case at::kDouble: return "torch.float64";
    case at::kBool: return "torch.bool";
    case at::kComplexHalf: return "torch.complex32";
    case at::kComplexFloat: return "torch.complex64";
    case at::kComplexDouble: return "torch.complex128";
    default: return std::string("torch.") + c10::toString(type);
  }
}

void check_int64(const at::Tensor& t, const char* slot, const char* what) {
  if (!t.defined()) fail(ErrorKind::Type, std::string("ModularTensor attribute '") + slot + "' holds no tensor");
  if (t.scalar_type() == at::kLong) return;
  fail(ErrorKind::Type, std::string("ModularTensor attribute '") + slot + "' must hold int64 " + what + ", got " +
                            dtype_name(t.scalar_type()));
}

[[noreturn]] void bad_layout(const RationalTensor& x) {
  std::ostringstream message;
  message << "ModularTensor residues do not match their prime basis: num " << x.num.sizes() << ", denom "
          << x.denom.sizes() << ", primes " << x.primes.sizes()
          << " (expected num and denom of shape [P, ...], of one rank, for primes of shape [P], P > 0)";
  fail(ErrorKind::Value, message.str());
}

bool equal_on_host(const at::Tensor& a, const at::Tensor& b) {
  const auto pa = a.accessor<int64_t, 1>();
  const auto pb = b.accessor<int64_t, 1>();
  for (int64_t i = 0; i < a.size(0); ++i)
    if (pa[i] != pb[i]) return false;
  return true;
}

}  // namespace

void check_residues(const RationalTensor& x) {
  check_int64(x.num, "num", "residues");
  check_int64(x.denom, "denom", "residues");
  check_int64(x.primes, "primes", "primes");
  // Equal ranks: otherwise broadcasting would align the prime axis of one
  // half with a user axis of the other.
  if (x.primes.dim() != 1 || x.num.dim() < 1 || x.denom.dim() != x.num.dim()) bad_layout(x);
  const int64_t rows = x.primes.size(0);
  if (rows == 0 || x.num.size(0) != rows || x.denom.size(0) != rows) bad_layout(x);
}

bool same_basis(const at::Tensor& a, const at::Tensor& b) {
  if (a.is_same(b)) return true;
  if (a.dim() != 1 || b.dim() != 1 || a.size(0) != b.size(0)) return false;
  if (a.scalar_type() != at::kLong || b.scalar_type() != at::kLong) return false;
  // Compared on the host, without a tensor operation: this runs before every operation.
  const std::vector<at::Tensor> host = host_int64({a, b});
  return equal_on_host(host[0], host[1]);
}

void check_operands(const RationalTensor& x, const RationalTensor& y) {
  check_residues(x);
  if (!y.primes.defined()) {  // an operand without a basis of its own shares x's
    check_residues(RationalTensor{y.num, y.denom, x.primes, c10::nullopt});
    return;
  }
  check_residues(y);
  if (!same_basis(x.primes, y.primes)) fail(ErrorKind::Value, "ModularTensor operands use different prime bases");
}

}  // namespace kalvex
