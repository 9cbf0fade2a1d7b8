#pragma once
// The CUDA backend of the residue-kernel launcher (residue_kernel.h): the
// functor adapted to the call shape gpu_kernel expects (one parameter per
// iterator input, the prime last; several outputs as a thrust::tuple), one
// thread per element through TensorIterator.
//
// KALVEX_CUDA_KERNEL(Op), inside namespace kalvex::kernels in a .cu file,
// instantiates run_cuda<Op> for one functor.
#include <ATen/native/cuda/Loops.cuh>
#include <thrust/tuple.h>

#include "core/kernels/residue_kernel.h"

namespace kalvex::kernels::cuda {

template <size_t>
struct Residue {  // one tuple element per output index
  using type = int64_t;
};

template <typename Result, typename = std::make_index_sequence<ResultShape<Result>::kCount>>
struct DeviceResult {
  using type = Result;
  C10_HOST_DEVICE static type from(const Result& r) { return r; }
};

template <int N, size_t... K>
struct DeviceResult<ResidueTuple<N>, std::index_sequence<K...>> {
  using type = thrust::tuple<typename Residue<K>::type...>;
  C10_HOST_DEVICE static type from(const ResidueTuple<N>& r) { return type(r.value[K]...); }
};

// A stride-0 operand (constant rows, NOTE: [Constant rows]) is read through
// the iterator like any other: every thread of a row loads the same cached
// value.
//
// gpu_kernel_multiple_outputs takes only extended __host__ __device__
// lambdas, so the functor is wrapped in one (gpu_kernel accepts them too).
template <typename Op, size_t... I>
void launch(const Op& op, KernelCall<Op>& call, std::index_sequence<I...>) {
  using Traits = KernelTraits<Op>;
  using Out = DeviceResult<typename Traits::Result>;
  auto iter = kernel_iterator(call);
  auto run = [&](const auto& functor) {
    if constexpr (Traits::kOutputs == 1) {
      at::native::gpu_kernel(iter, functor);
    } else {
      at::native::gpu_kernel_multiple_outputs(iter, functor);
    }
  };
  if constexpr (Traits::kModular) {
    run([op] __host__ __device__(typename Traits::template Input<I>... in, int64_t prime) -> typename Out::type {
      return Out::from(op(Modulus(prime), in...));
    });
  } else {
    run([op] __host__ __device__(typename Traits::template Input<I>... in) -> typename Out::type {
      return Out::from(op(in...));
    });
  }
}

}  // namespace kalvex::kernels::cuda

namespace kalvex::kernels {

template <typename Op>
void run_cuda(const Op& op, KernelCall<Op>& call) {
  cuda::launch(op, call, std::make_index_sequence<KernelTraits<Op>::kInputs>{});
}

}  // namespace kalvex::kernels

// The CUDA backend of one functor.  Use inside namespace kalvex::kernels.
#define KALVEX_CUDA_KERNEL(...) \
  template void run_cuda<__VA_ARGS__>(const __VA_ARGS__& op, KernelCall<__VA_ARGS__>& call);

// The same for a functor with two outputs that declares what each reads
// (residue_kernel.h), with its one-output forms.
#define KALVEX_CUDA_SPLIT_KERNEL(Op)    \
  KALVEX_CUDA_KERNEL(Op)                \
  KALVEX_CUDA_KERNEL(OnlyOutput<Op, 0>) \
  KALVEX_CUDA_KERNEL(OnlyOutput<Op, 1>)
