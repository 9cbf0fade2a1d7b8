// Device dispatch of the residue kernels, and the iterators they share.
#include <ATen/TensorIterator.h>

#include "core/errors.h"
#include "core/kernels/launch.h"

namespace kalvex::kernels {

namespace {

template <typename Cpu, typename Cuda>
void on_device(const at::Tensor& t, Cpu&& cpu, Cuda&& cuda) {
  if (t.is_cpu()) return cpu();
#ifdef KALVEX_WITH_CUDA
  if (t.is_cuda()) return cuda();
#else
  (void)cuda;
#endif
  fail(ErrorKind::Runtime, "ModularTensor arithmetic is not available on device " + t.device().str() +
                               (t.is_cuda() ? " (this build has no CUDA support)" : ""));
}

// The inputs of a two-operand kernel: a/b, c/d, then the prime column.
template <typename Args>
at::TensorIteratorConfig& add_operands(at::TensorIteratorConfig& config, const Args& args) {
  return config.add_input(args.a).add_input(args.b).add_input(args.c).add_input(args.d).add_input(args.primes);
}

}  // namespace

at::TensorIterator binary_iterator(BinaryArgs& args) {
  at::TensorIteratorConfig config;
  config.add_output(args.out_num).add_output(args.out_den);
  return add_operands(config, args).build();
}

at::TensorIterator equal_iterator(EqualArgs& args) {
  at::TensorIteratorConfig config;
  config.check_all_same_dtype(false).add_output(args.out);
  return add_operands(config, args).build();
}

at::TensorIterator neg_iterator(NegArgs& args) {
  return at::TensorIteratorConfig().add_output(args.out_num).add_input(args.a).add_input(args.primes).build();
}

#ifndef KALVEX_WITH_CUDA
// Never called: on_device refuses CUDA tensors first.
static void binary_cuda(BinaryOp, BinaryArgs&) {}
static void equal_flags_cuda(EqualArgs&) {}
static void neg_cuda(NegArgs&) {}
#endif

void binary(BinaryOp op, BinaryArgs& args) {
  on_device(args.a, [&] { binary_cpu(op, args); }, [&] { binary_cuda(op, args); });
}

void equal_flags(EqualArgs& args) {
  on_device(args.a, [&] { equal_flags_cpu(args); }, [&] { equal_flags_cuda(args); });
}

void neg(NegArgs& args) {
  on_device(args.a, [&] { neg_cpu(args); }, [&] { neg_cuda(args); });
}

}  // namespace kalvex::kernels
