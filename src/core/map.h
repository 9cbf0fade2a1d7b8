#pragma once
// Element-wise operations given by their functor alone.  The functor maps
// the residues (a, b) of each element to those of the result and says how
// the approximation and the sizes of the integers follow:
//
//   struct NegOp {
//     static constexpr uint32_t kReads[2] = {0b01, 0b10};  // what each output reads
//     C10_HOST_DEVICE ResidueTuple<2> operator()(const Modulus& m, int64_t a, int64_t b) const;
//     static at::Tensor approx(const at::Tensor& v);
//     static BitBounds bits(const BitBounds& x);
//   };
//
// With its line in a kernel list, map<Op> is the operation: the binding's
// member<map<Op>> makes it a method.
#include "core/checks.h"
#include "core/kernels/residue_kernel.h"
#include "core/rational_tensor.h"

namespace kalvex {

template <typename Op>
RationalTensor map(const RationalTensor& x) {
  check_residues(x);
  auto out = kernels::run(Op{}, {x.num, x.denom}, prime_column(x.primes, x.num.dim()));
  c10::optional<at::Tensor> approx;
  if (x.approx) {
    // A value broadcast over the shape is mapped once.
    const at::Tensor& a = *x.approx;
    approx = is_broadcast_value(a) ? Op::approx(one_element(a)).expand(a.sizes()) : Op::approx(a);
  }
  RationalTensor result{std::move(out[0]), std::move(out[1]), x.primes, std::move(approx)};
  result.bits = Op::bits(x.bits);
  return result;
}

}  // namespace kalvex
