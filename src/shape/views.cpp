#include "shape/views.h"

#include <ATen/ATen.h>

#include <vector>

#include "core/basis.h"
#include "shape/axes.h"
#include "shape/each.h"

namespace kalvex {

RationalTensor reshape(const RationalTensor& x, at::IntArrayRef shape) {
  std::vector<int64_t> residue_shape{kNumPrimes};
  residue_shape.insert(residue_shape.end(), shape.begin(), shape.end());
  return on_each(
      x, [&](const at::Tensor& t) { return t.reshape(residue_shape); },
      [&](const at::Tensor& a) { return a.reshape(shape); });
}

RationalTensor transpose(const RationalTensor& x, int64_t dim0, int64_t dim1) {
  const int64_t rank = user_rank(x);
  const int64_t a0 = user_axis(dim0, rank), a1 = user_axis(dim1, rank);
  // A scalar has no user axis to move: torch gives a view of the same shape.
  return on_each(
      x, [&](const at::Tensor& t) { return rank == 0 ? t.alias() : t.transpose(a0 + 1, a1 + 1); },
      [&](const at::Tensor& a) { return a.transpose(dim0, dim1); });
}

RationalTensor flatten(const RationalTensor& x, int64_t start_dim, int64_t end_dim) {
  const int64_t rank = user_rank(x);
  const int64_t start = user_axis(start_dim, rank), end = user_axis(end_dim, rank);
  // torch flattens a scalar to one element of shape (1,).
  return on_each(
      x, [&](const at::Tensor& t) { return rank == 0 ? t.unsqueeze(1) : t.flatten(start + 1, end + 1); },
      [&](const at::Tensor& a) { return a.flatten(start_dim, end_dim); });
}

RationalTensor squeeze(const RationalTensor& x, c10::optional<int64_t> dim) {
  const int64_t rank = user_rank(x);
  if (dim) {
    const int64_t axis = user_axis(*dim, rank);
    return on_each(
        x, [&](const at::Tensor& t) { return rank == 0 ? t.alias() : t.squeeze(axis + 1); },
        [&](const at::Tensor& a) { return a.squeeze(*dim); });
  }
  // From the last axis down, so the axes still to visit keep their places.
  const std::vector<int64_t> shape(x.shape().begin(), x.shape().end());
  RationalTensor r = x;
  for (int64_t i = rank - 1; i >= 0; --i) {
    if (shape[i] != 1) continue;
    r.num = r.num.squeeze(i + 1);
    r.denom = r.denom.squeeze(i + 1);
    if (r.approx) r.approx = r.approx->squeeze(i);
  }
  return r;
}

RationalTensor unsqueeze(const RationalTensor& x, int64_t dim) {
  // The insertion point ranges over one place more than the axes.
  const int64_t axis = user_axis(dim, user_rank(x) + 1);
  return on_each(
      x, [&](const at::Tensor& t) { return t.unsqueeze(axis + 1); },
      [&](const at::Tensor& a) { return a.unsqueeze(dim); });
}

c10::optional<RationalTensor> matrix_transpose(const RationalTensor& x) {
  if (user_rank(x) < 2) return c10::nullopt;
  return transpose(x, -2, -1);
}

c10::optional<RationalTensor> contiguous(const RationalTensor& x) {
  if (x.num.is_contiguous() && x.denom.is_contiguous() && (!x.approx || x.approx->is_contiguous()))
    return c10::nullopt;
  return on_each(
      x, [](const at::Tensor& t) { return t.contiguous(); }, [](const at::Tensor& a) { return a.contiguous(); });
}

RationalTensor clone(const RationalTensor& x) {
  return on_each(
      x, [](const at::Tensor& t) { return t.clone(at::MemoryFormat::Contiguous); },
      [](const at::Tensor& a) { return a.clone(at::MemoryFormat::Contiguous); });
}

}  // namespace kalvex
