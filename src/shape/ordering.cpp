#include "shape/ordering.h"

#include <ATen/ATen.h>
#include <ATen/WrapDimUtils.h>

#include <tuple>
#include <vector>

#include "core/checks.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/key_passes.h"
#include "reconstruct/exact_decisions.h"
#include "reconstruct/float_view.h"
#include "shape/axes.h"
#include "shape/indexing.h"
#include "core/kernels/take_along.h"

namespace kalvex {

namespace {

// The residues of x at the positions torch chose, the chosen keys as the
// approximation, the primes tensor of x itself.
Ordered picked(const RationalTensor& x, const at::Tensor& key, const at::Tensor& keys, const at::Tensor& indices,
               int64_t dim) {
  Ordered out;
  out.indices = indices;
  out.values.primes = x.primes;
  out.values.bits = x.bits;
  out.values.approx = keys;
  const int64_t rank = user_rank(x);
  if (rank == 0) {
    out.values.num = repeat_scalar(x.num, indices);
    out.values.denom = repeat_scalar(x.denom, indices);
    return out;
  }
  std::tie(out.values.num, out.values.denom) =
      kernels::take_along(x.num, x.denom, residue_axis(dim, rank), indices, key.sizes());
  return out;
}

}  // namespace

at::Tensor order_key(const RationalTensor& x) {
  if (x.approx) return *x.approx;
  const std::vector<int64_t> shape(x.shape().begin(), x.shape().end());
  // The rebuild reads rows as flat vectors: a view with other strides
  // (a transposed tensor) is read through one contiguous copy, constant rows
  // as they are.
  RationalTensor rows = x;
  rows.num = contiguous_rows(x.num);
  rows.denom = contiguous_rows(x.denom);
  const at::Tensor view = float_view(rows, shape, x.num.device());
  return view.view(shape);
}

Ordered sort(const RationalTensor& x, const at::Tensor& key, int64_t dim, bool descending) {
  check_residues(x);
  at::Tensor keys, indices;
  decided_sort(x, key, dim, descending, keys, indices);
  return picked(x, key, keys, indices, dim);
}

at::Tensor argsort(const RationalTensor& x, const at::Tensor& key, int64_t dim, bool descending) {
  at::Tensor keys, indices;
  decided_sort(x, key, dim, descending, keys, indices);
  return indices;
}

Ordered topk(const RationalTensor& x, const at::Tensor& key, int64_t k, int64_t dim, bool largest) {
  check_residues(x);
  at::Tensor keys, indices;
  std::tie(keys, indices) = at::topk(key, k, dim, largest, /*sorted=*/true);
  if (kernels::topk_undecided(key, keys, dim, k)) {
    // The exact order of the whole axis, cut to its first k.
    decided_sort(x, key, dim, largest, keys, indices);
    const int64_t axis = at::maybe_wrap_dim(dim, key.dim());
    indices = indices.narrow(axis, 0, k).contiguous();
    keys = keys.narrow(axis, 0, k).contiguous();
  }
  return picked(x, key, keys, indices, dim);
}

}  // namespace kalvex
