#include "shape/indexing.h"

#include <ATen/ATen.h>

#include <vector>

#include "core/basis.h"
#include "core/errors.h"
#include "core/kernels/take_along.h"
#include "shape/axes.h"
#include "shape/each.h"

namespace kalvex {

namespace {

// The positions torch selects from a scalar: `select` applied to a
// zero-dimensional position tensor, with torch's own checks and shape rules.
template <typename Select>
RationalTensor select_from_scalar(const RationalTensor& x, const at::Tensor& index, Select&& select) {
  const at::Tensor position = at::zeros({}, index.options().dtype(at::kLong));
  kernels::refuse_positions_out_of_range(position, 0, index, select);
  const at::Tensor chosen = select(position, index);
  return on_each(
      x, [&](const at::Tensor& t) { return repeat_scalar(t, chosen); },
      [&](const at::Tensor& a) { return select(a, index); });
}

}  // namespace

at::Tensor repeat_scalar(const at::Tensor& residues, const at::Tensor& positions) {
  std::vector<int64_t> sizes{residues.size(0)};
  sizes.insert(sizes.end(), positions.sizes().begin(), positions.sizes().end());
  return residues.unsqueeze(1).index_select(1, positions.reshape({-1}).to(residues.device())).view(sizes);
}

RationalTensor gather(const RationalTensor& x, int64_t dim, const at::Tensor& index) {
  const int64_t rank = user_rank(x);
  if (rank == 0)
    return select_from_scalar(x, index, [&](const at::Tensor& t, const at::Tensor& i) { return at::gather(t, dim, i); });
  const int64_t axis = residue_axis(dim, rank);
  std::vector<int64_t> spread{kNumPrimes};
  spread.insert(spread.end(), index.sizes().begin(), index.sizes().end());
  const at::Tensor index_exp = index.unsqueeze(0).expand(spread);
  kernels::refuse_positions_out_of_range(x.num, axis, index_exp,
                                [&](const at::Tensor& t, const at::Tensor& i) { return at::gather(t, axis, i); });
  return on_each(
      x, [&](const at::Tensor& t) { return at::gather(t, axis, index_exp); },
      [&](const at::Tensor& a) { return at::gather(a, dim, index); });
}

RationalTensor index_select(const RationalTensor& x, int64_t dim, const at::Tensor& index) {
  const int64_t rank = user_rank(x);
  if (rank == 0)
    return select_from_scalar(
        x, index, [&](const at::Tensor& t, const at::Tensor& i) { return at::index_select(t, dim, i); });
  const int64_t axis = residue_axis(dim, rank);
  kernels::refuse_positions_out_of_range(
      x.num, axis, index, [&](const at::Tensor& t, const at::Tensor& i) { return at::index_select(t, axis, i); });
  return on_each(
      x, [&](const at::Tensor& t) { return at::index_select(t, axis, index); },
      [&](const at::Tensor& a) { return at::index_select(a, dim, index); });
}

}  // namespace kalvex
