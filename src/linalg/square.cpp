#include "linalg/square.h"

#include <string>

#include "core/basis.h"
#include "core/checks.h"
#include "core/errors.h"

namespace kalvex::linalg {

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

}  // namespace kalvex::linalg
