#include "core/checks.h"

#include <ATen/ATen.h>

#include <sstream>

#include "core/errors.h"

namespace kalvex {

namespace {

void check_int64(const at::Tensor& t, const char* slot) {
  if (t.scalar_type() == at::kLong) return;
  fail(ErrorKind::Type, std::string("ModularTensor attribute '") + slot + "' must hold int64 residues, got " +
                            c10::toString(t.scalar_type()));
}

[[noreturn]] void bad_layout(const RationalTensor& x) {
  std::ostringstream message;
  message << "ModularTensor residues do not match their prime basis: num " << x.num.sizes() << ", denom "
          << x.denom.sizes() << ", primes " << x.primes.sizes();
  fail(ErrorKind::Value, message.str());
}

}  // namespace

void check_residues(const RationalTensor& x) {
  check_int64(x.num, "num");
  check_int64(x.denom, "denom");
  check_int64(x.primes, "primes");
  if (x.primes.dim() != 1 || x.num.dim() < 1 || x.denom.dim() < 1) bad_layout(x);
  const int64_t rows = x.primes.size(0);
  if (rows == 0 || x.num.size(0) != rows || x.denom.size(0) != rows) bad_layout(x);
}

void check_operands(const RationalTensor& x, const RationalTensor& y) {
  check_residues(x);
  check_residues(y);
  if (x.primes.is_same(y.primes)) return;
  // Operands on different devices are refused by the operation itself, with torch's error.
  if (x.primes.sizes().equals(y.primes.sizes()) && at::equal(x.primes, y.primes.to(x.primes.device()))) return;
  fail(ErrorKind::Value, "ModularTensor operands use different prime bases");
}

}  // namespace kalvex
