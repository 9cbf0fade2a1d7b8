// CUDA launchers of the residue kernels: the same formulas as the CPU path,
// one thread per residue, through TensorIterator.
#include <ATen/TensorIterator.h>
#include <ATen/native/cuda/Loops.cuh>

#include "core/kernels/launch.h"

#ifndef GPU_LAMBDA
#define GPU_LAMBDA __host__ __device__
#endif

namespace kalvex::kernels {

namespace {

template <typename Op>
void launch_binary(at::TensorIteratorBase& iter) {
  at::native::gpu_kernel_multiple_outputs(
      iter, [] GPU_LAMBDA(int64_t a, int64_t b, int64_t c, int64_t d, int64_t p) -> thrust::tuple<int64_t, int64_t> {
        int64_t num, den;
        Op::apply(a, b, c, d, Modulus(p), num, den);
        return thrust::tuple<int64_t, int64_t>(num, den);
      });
}

}  // namespace

void binary_cuda(BinaryOp op, BinaryArgs& args) {
  auto iter = binary_iterator(args);
  switch (op) {
    case BinaryOp::Add: launch_binary<AddOp>(iter); break;
    case BinaryOp::Sub: launch_binary<SubOp>(iter); break;
    case BinaryOp::Mul: launch_binary<MulOp>(iter); break;
    case BinaryOp::Div: launch_binary<DivOp>(iter); break;
  }
}

void equal_flags_cuda(EqualArgs& args) {
  auto iter = equal_iterator(args);
  at::native::gpu_kernel(iter, [] GPU_LAMBDA(int64_t a, int64_t b, int64_t c, int64_t d, int64_t p) -> bool {
    return cross_equal(a, b, c, d, Modulus(p));
  });
}

void neg_cuda(NegArgs& args) {
  auto iter = neg_iterator(args);
  at::native::gpu_kernel(iter, [] GPU_LAMBDA(int64_t a, int64_t p) -> int64_t { return neg_mod(a, Modulus(p)); });
}

}  // namespace kalvex::kernels
