// CUDA launchers of the residue kernels: the same formulas as the CPU path,
// one thread per residue, through TensorIterator.
#include <ATen/TensorIterator.h>
#include <ATen/native/cuda/Loops.cuh>

#include "core/kernels/launch.h"

namespace kalvex::kernels {

namespace {

template <typename Op>
struct BinaryFunctor {
  __device__ thrust::tuple<int64_t, int64_t> operator()(int64_t a, int64_t b, int64_t c, int64_t d,
                                                        int64_t p) const {
    const Modulus m(p);
    int64_t num, den;
    Op::apply(a, b, c, d, m, num, den);
    return thrust::tuple<int64_t, int64_t>(num, den);
  }
};

struct EqualFunctor {
  __device__ bool operator()(int64_t a, int64_t b, int64_t c, int64_t d, int64_t p) const {
    return cross_equal(a, b, c, d, Modulus(p));
  }
};

struct NegFunctor {
  __device__ int64_t operator()(int64_t a, int64_t p) const { return neg_mod(a, Modulus(p)); }
};

}  // namespace

void binary_cuda(BinaryOp op, BinaryArgs& args) {
  auto iter = at::TensorIteratorConfig()
                  .add_output(args.out_num)
                  .add_output(args.out_den)
                  .add_input(args.a)
                  .add_input(args.b)
                  .add_input(args.c)
                  .add_input(args.d)
                  .add_input(args.primes)
                  .build();
  visit_op(op, [&](auto op_tag) {
    using Op = decltype(op_tag);
    at::native::gpu_kernel_multiple_outputs(iter, BinaryFunctor<Op>{});
  });
}

void equal_flags_cuda(EqualArgs& args) {
  auto iter = at::TensorIteratorConfig()
                  .check_all_same_dtype(false)
                  .add_output(args.out)
                  .add_input(args.a)
                  .add_input(args.b)
                  .add_input(args.c)
                  .add_input(args.d)
                  .add_input(args.primes)
                  .build();
  at::native::gpu_kernel(iter, EqualFunctor{});
}

void neg_cuda(NegArgs& args) {
  auto iter = at::TensorIteratorConfig().add_output(args.out_num).add_input(args.a).add_input(args.primes).build();
  at::native::gpu_kernel(iter, NegFunctor{});
}

}  // namespace kalvex::kernels
