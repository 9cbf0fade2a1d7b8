#pragma once
// The generic launcher of element-wise residue kernels.
//
// A kernel is one functor, written once for the host and the device:
//
//   struct AddOp {
//     C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b,
//                                                int64_t c, int64_t d) const;
//   };
//
// Its parameters are the elements of its inputs (int64_t residues, bool
// masks), preceded by the modulus of the element's prime when it needs one
// (a "modular" kernel).  It returns one value (int64_t or bool) or a
// ResidueTuple<N> of N residues, one per output.
//
// run(op, inputs, primes) broadcasts the inputs together (with the prime
// column [P, 1, ..., 1] for a modular kernel), allocates the outputs with the
// broadcast shape and runs the functor on the inputs' device.  A functor is
// made available to a backend by one line: KALVEX_CPU_KERNEL(Op) in a .cpp
// (cpu_loops.h) and KALVEX_CUDA_KERNEL(Op) in a .cu (cuda_loops.cuh).
#include <ATen/ATen.h>
#include <ATen/ExpandUtils.h>
#include <ATen/TensorIterator.h>
#include <ATen/detail/FunctionTraits.h>
#include <c10/macros/Macros.h>

#include <array>
#include <type_traits>
#include <utility>

#include "core/modmath.h"

namespace kalvex {

// The results of a kernel with several outputs, all residues.
template <int N>
struct ResidueTuple {
  int64_t value[N];
};

namespace kernels {

template <typename Result>
struct ResultShape {  // one output of type Result
  static constexpr int kCount = 1;
  using Element = Result;
  C10_HOST_DEVICE static Element get(const Result& r, int) { return r; }
};

template <int N>
struct ResultShape<ResidueTuple<N>> {
  static constexpr int kCount = N;
  using Element = int64_t;
  C10_HOST_DEVICE static Element get(const ResidueTuple<N>& r, int k) { return r.value[k]; }
};

// What the launcher reads off a functor's call operator.
template <typename Op>
struct KernelTraits {
  using Signature = function_traits<decltype(&Op::operator())>;
  using Result = typename Signature::result_type;
  static constexpr bool kModular =
      Signature::arity > 0 && std::is_same_v<std::decay_t<typename Signature::template arg<0>::type>, Modulus>;
  static constexpr int kFirstInput = kModular ? 1 : 0;
  static constexpr int kInputs = static_cast<int>(Signature::arity) - kFirstInput;
  static constexpr int kOutputs = ResultShape<Result>::kCount;
  using Output = typename ResultShape<Result>::Element;
  template <int I>
  using Input = std::decay_t<typename Signature::template arg<I + kFirstInput>::type>;
};

// Calls op on one element, with the modulus only for a modular kernel.
template <typename Op, typename... Args>
C10_HOST_DEVICE C10_ALWAYS_INLINE typename KernelTraits<Op>::Result invoke(const Op& op, const Modulus& m,
                                                                         Args... args) {
  if constexpr (KernelTraits<Op>::kModular) {
    return op(m, args...);
  } else {
    (void)m;
    return op(args...);
  }
}

template <typename Op>
using KernelOutputs = std::array<at::Tensor, KernelTraits<Op>::kOutputs>;
template <typename Op>
using KernelInputs = std::array<at::Tensor, KernelTraits<Op>::kInputs>;

// The operands of one launch: outputs already allocated with the broadcast
// shape, the inputs as given, and the prime column of a modular kernel
// (borrowed: a launch holds no tensor of its own but its outputs).
template <typename Op>
struct KernelCall {
  KernelOutputs<Op> outputs;
  const KernelInputs<Op>& inputs;
  const at::Tensor& primes;
};

// The backends, instantiated per functor by KALVEX_CPU_KERNEL / KALVEX_CUDA_KERNEL.
template <typename Op>
void run_cpu(const Op& op, KernelCall<Op>& call);
#ifdef KALVEX_WITH_CUDA
template <typename Op>
void run_cuda(const Op& op, KernelCall<Op>& call);
#endif

// The iterator both backends use when the operands are not plain rows:
// outputs first, then the inputs, then the prime column.
template <typename Op>
at::TensorIterator kernel_iterator(KernelCall<Op>& call) {
  at::TensorIteratorConfig config;
  config.check_all_same_dtype(false);
  for (const at::Tensor& out : call.outputs) config.add_output(out);
  for (const at::Tensor& in : call.inputs) config.add_input(in);
  if constexpr (KernelTraits<Op>::kModular) config.add_input(call.primes);
  return config.build();
}

[[noreturn]] void unsupported_device(const at::Tensor& t);
[[noreturn]] void wrong_input_dtype(int index, at::ScalarType expected, at::ScalarType got);

template <typename Op, size_t... I>
void check_input_dtypes(const KernelCall<Op>& call, std::index_sequence<I...>) {
  using Traits = KernelTraits<Op>;
  const at::ScalarType expected[] = {c10::CppTypeToScalarType<typename Traits::template Input<I>>::value...};
  for (size_t k = 0; k < sizeof...(I); ++k) {
    const at::ScalarType got = call.inputs[k].scalar_type();
    if (got != expected[k]) wrong_input_dtype(static_cast<int>(k), expected[k], got);
  }
}

// Runs op over the broadcast of `inputs` (each a tensor whose leading axis is
// the prime axis or 1) and returns its outputs.  `primes` is the prime column
// [P, 1, ..., 1]; it is required by modular kernels and ignored otherwise.
template <typename Op>
KernelOutputs<Op> run(const Op& op, const KernelInputs<Op>& inputs, const at::Tensor& primes = at::Tensor()) {
  using Traits = KernelTraits<Op>;
  static_assert(Traits::kInputs > 0, "a kernel reads at least one input");
  KernelCall<Op> call{{}, inputs, primes};
  check_input_dtypes(call, std::make_index_sequence<Traits::kInputs>{});
  at::DimVector sizes(inputs[0].sizes().begin(), inputs[0].sizes().end());
  for (const at::Tensor& in : inputs) sizes = at::infer_size_dimvector(sizes, in.sizes());
  if constexpr (Traits::kModular) sizes = at::infer_size_dimvector(sizes, primes.sizes());
  const auto options = inputs[0].options().dtype(c10::CppTypeToScalarType<typename Traits::Output>::value);
  for (at::Tensor& out : call.outputs) out = at::empty(sizes, options);

  const at::Tensor& first = inputs[0];
  if (first.is_cpu()) {
    run_cpu(op, call);
  }
#ifdef KALVEX_WITH_CUDA
  else if (first.is_cuda()) {
    run_cuda(op, call);
  }
#endif
  else {
    unsupported_device(first);
  }
  return std::move(call.outputs);
}

}  // namespace kernels
}  // namespace kalvex
