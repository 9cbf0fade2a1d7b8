#include "shape/indexing.h"

#include <ATen/ATen.h>

#include <vector>

#include "core/basis.h"
#include "shape/axes.h"

namespace kalvex {

namespace {

int64_t user_rank(const RationalTensor& x) { return static_cast<int64_t>(x.shape().size()); }

// The positions torch selects from a scalar: `select` applied to a
// zero-dimensional position tensor, with torch's own checks and shape rules.
template <typename Select>
RationalTensor select_from_scalar(const RationalTensor& x, const at::Tensor& index, Select&& select) {
  const at::Tensor position = at::zeros({}, index.options().dtype(at::kLong));
  const at::Tensor chosen = select(position);
  RationalTensor r;
  r.num = repeat_scalar(x.num, chosen);
  r.denom = repeat_scalar(x.denom, chosen);
  r.primes = x.primes;
  if (x.approx) r.approx = select(*x.approx);
  return r;
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
    return select_from_scalar(x, index, [&](const at::Tensor& t) { return at::gather(t, dim, index); });
  const int64_t axis = residue_axis(dim, rank);
  std::vector<int64_t> spread{kNumPrimes};
  spread.insert(spread.end(), index.sizes().begin(), index.sizes().end());
  const at::Tensor index_exp = index.unsqueeze(0).expand(spread);
  RationalTensor r;
  r.num = at::gather(x.num, axis, index_exp);
  r.denom = at::gather(x.denom, axis, index_exp);
  r.primes = x.primes;
  if (x.approx) r.approx = at::gather(*x.approx, dim, index);
  return r;
}

RationalTensor index_select(const RationalTensor& x, int64_t dim, const at::Tensor& index) {
  const int64_t rank = user_rank(x);
  if (rank == 0)
    return select_from_scalar(x, index, [&](const at::Tensor& t) { return at::index_select(t, dim, index); });
  const int64_t axis = residue_axis(dim, rank);
  RationalTensor r;
  r.num = at::index_select(x.num, axis, index);
  r.denom = at::index_select(x.denom, axis, index);
  r.primes = x.primes;
  if (x.approx) r.approx = at::index_select(*x.approx, dim, index);
  return r;
}

}  // namespace kalvex
