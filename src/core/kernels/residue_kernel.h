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
// made available to both backends by one line in its header's kernel list
// (KALVEX_ARITHMETIC_KERNELS, KALVEX_ELEMENTWISE_KERNELS), which a .cpp
// expands with KALVEX_CPU_KERNEL (cpu_loops.h) and a .cu with
// KALVEX_CUDA_KERNEL (cuda_loops.cuh).
//
// Constant rows (NOTE: [Constant rows]): an output whose inputs all have
// constant rows is computed once per prime and returned as a broadcast view.
// A functor with two outputs may say which inputs each output reads,
//
//   static constexpr uint32_t kReads[2] = {0b1111, 0b1010};  // bit k: input k
//
// so that one of its outputs is constant whenever those inputs are (the
// denominator of a sum of two captured tensors); the other output is then
// computed alone.  Such a functor is registered with KALVEX_CPU_SPLIT_KERNEL
// and KALVEX_CUDA_SPLIT_KERNEL, which also build its one-output forms.
#include <ATen/ATen.h>
#include <ATen/ExpandUtils.h>
#include <ATen/TensorIterator.h>
#include <ATen/detail/FunctionTraits.h>
#include <c10/macros/Macros.h>

#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/kernels/constant_rows.h"
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
  using Arguments = typename Signature::ArgsTuple;
};

// Whether a functor says which inputs each of its outputs reads (kReads).
template <typename Op, typename = void>
struct DeclaresReads : std::false_type {};
template <typename Op>
struct DeclaresReads<Op, std::void_t<decltype(Op::kReads)>> : std::true_type {};

// The inputs output k reads, one bit per input.
template <typename Op>
constexpr uint32_t reads_of(int k) {
  if constexpr (DeclaresReads<Op>::value) {
    return Op::kReads[k];
  } else {
    (void)k;
    return (uint32_t{1} << KernelTraits<Op>::kInputs) - 1;
  }
}

// A functor with several outputs reduced to its output K: the work of the
// others is dropped by the compiler.
template <typename Op, int K, typename Arguments = typename KernelTraits<Op>::Arguments>
struct OnlyOutput;

template <typename Op, int K, typename... A>
struct OnlyOutput<Op, K, std::tuple<A...>> {
  Op op;
  C10_HOST_DEVICE int64_t operator()(A... args) const { return op(args...).value[K]; }
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
void check_input_dtypes(const KernelInputs<Op>& inputs, std::index_sequence<I...>) {
  using Traits = KernelTraits<Op>;
  const at::ScalarType expected[] = {c10::CppTypeToScalarType<typename Traits::template Input<I>>::value...};
  for (size_t k = 0; k < sizeof...(I); ++k) {
    const at::ScalarType got = inputs[k].scalar_type();
    if (got != expected[k]) wrong_input_dtype(static_cast<int>(k), expected[k], got);
  }
}

// Allocates outputs of `sizes` and runs op over the inputs on their device.
template <typename Op>
KernelOutputs<Op> launch(const Op& op, const KernelInputs<Op>& inputs, const at::Tensor& primes,
                         at::IntArrayRef sizes) {
  KernelCall<Op> call{{}, inputs, primes};
  const auto options = inputs[0].options().dtype(c10::CppTypeToScalarType<typename KernelTraits<Op>::Output>::value);
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

// The outputs (one bit each) whose inputs all have constant rows, for a
// result of `sizes`; none unless the result has more than one element per row.
template <typename Op>
uint32_t constant_outputs(const KernelInputs<Op>& inputs, at::IntArrayRef sizes) {
  int64_t per_row = 1;
  for (size_t d = 1; d < sizes.size(); ++d) per_row *= sizes[d];
  if (per_row <= 1) return 0;
  uint32_t constant_inputs = 0;
  for (size_t k = 0; k < inputs.size(); ++k)
    if (inputs[k].dim() == static_cast<int64_t>(sizes.size()) && has_constant_rows(inputs[k]))
      constant_inputs |= uint32_t{1} << k;
  uint32_t outputs = 0;
  for (int k = 0; k < KernelTraits<Op>::kOutputs; ++k)
    if ((reads_of<Op>(k) & ~constant_inputs) == 0) outputs |= uint32_t{1} << k;
  return outputs;
}

// Outputs in `constant` computed on the first element of every row and
// broadcast; the others over every element (the functor reduced to the one
// output that varies, where it declares what its outputs read).
template <typename Op>
KernelOutputs<Op> run_with_constant_outputs(const Op& op, const KernelInputs<Op>& inputs, const at::Tensor& primes,
                                            at::IntArrayRef sizes, uint32_t constant) {
  using Traits = KernelTraits<Op>;
  KernelInputs<Op> firsts;
  for (size_t k = 0; k < inputs.size(); ++k) {
    // An input of lower rank has no prime axis: every axis of it is cut.
    const at::Tensor& in = inputs[k];
    firsts[k] = in.dim() == static_cast<int64_t>(sizes.size()) ? first_elements(in) : one_element(in);
  }
  at::DimVector column_sizes(sizes.size(), 1);
  column_sizes[0] = sizes[0];
  KernelOutputs<Op> out = launch(op, firsts, primes, column_sizes);
  for (int k = 0; k < Traits::kOutputs; ++k)
    if (constant & (uint32_t{1} << k)) out[k] = out[k].expand(sizes);
  if (constant == (uint32_t{1} << Traits::kOutputs) - 1) return out;
  if constexpr (Traits::kOutputs == 2 && DeclaresReads<Op>::value) {
    const int varying = constant == 1 ? 1 : 0;
    out[varying] = varying == 1 ? launch(OnlyOutput<Op, 1>{op}, inputs, primes, sizes)[0]
                                : launch(OnlyOutput<Op, 0>{op}, inputs, primes, sizes)[0];
  } else {
    KernelOutputs<Op> all = launch(op, inputs, primes, sizes);
    for (int k = 0; k < Traits::kOutputs; ++k)
      if (!(constant & (uint32_t{1} << k))) out[k] = std::move(all[k]);
  }
  return out;
}

// Runs op over the broadcast of `inputs` (each a tensor whose leading axis is
// the prime axis or 1) and returns its outputs.  `primes` is the prime column
// [P, 1, ..., 1]; it is required by modular kernels and ignored otherwise.
template <typename Op>
KernelOutputs<Op> run(const Op& op, const KernelInputs<Op>& inputs, const at::Tensor& primes = at::Tensor()) {
  using Traits = KernelTraits<Op>;
  static_assert(Traits::kInputs > 0, "a kernel reads at least one input");
  static_assert(Traits::kOutputs <= 32 && Traits::kInputs <= 32, "outputs and inputs are named by bits");
  check_input_dtypes<Op>(inputs, std::make_index_sequence<Traits::kInputs>{});
  at::DimVector sizes(inputs[0].sizes().begin(), inputs[0].sizes().end());
  for (const at::Tensor& in : inputs) sizes = at::infer_size_dimvector(sizes, in.sizes());
  if constexpr (Traits::kModular) sizes = at::infer_size_dimvector(sizes, primes.sizes());
  if (const uint32_t constant = constant_outputs<Op>(inputs, sizes))
    return run_with_constant_outputs(op, inputs, primes, sizes, constant);
  return launch(op, inputs, primes, sizes);
}

}  // namespace kernels
}  // namespace kalvex
