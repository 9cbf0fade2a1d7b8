#pragma once
// Launchers of the residue kernels.  Operands are already broadcast-compatible
// and on one device; `primes` is the basis viewed as [P, 1, ..., 1].  Outputs
// are allocated by the caller with the broadcast residue shape.
#include <ATen/TensorIterator.h>
#include <ATen/core/Tensor.h>

#include "core/kernels/residue_ops.h"

namespace kalvex::kernels {

struct BinaryArgs {
  at::Tensor out_num, out_den;
  at::Tensor a, b, c, d;  // x = a/b, y = c/d
  at::Tensor primes;
};

// Per-prime equality flags (bool, broadcast residue shape) for ==.
struct EqualArgs {
  at::Tensor out;
  at::Tensor a, b, c, d;
  at::Tensor primes;
};

struct NegArgs {
  at::Tensor out_num;
  at::Tensor a;
  at::Tensor primes;
};

// Run the kernel on the device of the operands.
void binary(BinaryOp op, BinaryArgs& args);
void equal_flags(EqualArgs& args);
void neg(NegArgs& args);

// The iterators both devices share: outputs first, then the operands, then
// the prime column.
at::TensorIterator binary_iterator(BinaryArgs& args);
at::TensorIterator equal_iterator(EqualArgs& args);
at::TensorIterator neg_iterator(NegArgs& args);

void binary_cpu(BinaryOp op, BinaryArgs& args);
void equal_flags_cpu(EqualArgs& args);
void neg_cpu(NegArgs& args);

#ifdef KALVEX_WITH_CUDA
void binary_cuda(BinaryOp op, BinaryArgs& args);
void equal_flags_cuda(EqualArgs& args);
void neg_cuda(NegArgs& args);
#endif

}  // namespace kalvex::kernels
