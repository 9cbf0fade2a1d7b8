#pragma once
// NOTE: [Constant rows]
// A residue tensor [P, *shape] whose row for each prime holds one value for
// every element (the denominators of captured floats, both halves of a filled
// constant) is kept as a broadcast view of its column [P]: stride 0 along
// every user axis, as expand() makes it.  Its memory does not grow with the
// shape, an operation reads one value per prime instead of a row, and results
// whose rows are constant by construction are made the same way.  Residues
// are never written in place, so such views are shared freely; reading them
// gives exactly the materialised values.
#include <ATen/ATen.h>

#include <vector>

namespace kalvex {

// Whether every row of t [P, ...] is one value repeated: each user axis has
// length 1 or stride 0.  Layout only (nothing is read); a tensor without
// elements does not count.
inline bool has_constant_rows(const at::Tensor& t) {
  if (t.dim() < 1 || t.numel() == 0) return false;
  for (int64_t d = 1; d < t.dim(); ++d)
    if (t.size(d) != 1 && t.stride(d) != 0) return false;
  return true;
}

// Constant rows spread over more than one element: the case worth a path of its own.
inline bool is_broadcast_rows(const at::Tensor& t) { return has_constant_rows(t) && t.numel() > t.size(0); }

// The column [P] of a tensor with constant rows (a view, no copy).
inline at::Tensor residue_column(const at::Tensor& t) {
  return t.as_strided({t.size(0)}, {t.stride(0)}, t.storage_offset());
}

// t with every user axis cut to its first element: [P, 1, ..., 1], same rank (a view).
inline at::Tensor first_elements(const at::Tensor& t) {
  std::vector<int64_t> sizes(static_cast<size_t>(t.dim()), 1);
  if (t.dim() > 0) sizes[0] = t.size(0);
  return t.as_strided(sizes, t.strides(), t.storage_offset());
}

// A column [P] (any layout) broadcast to the residue shape [P, *shape].
inline at::Tensor broadcast_column(const at::Tensor& column, at::IntArrayRef shape) {
  std::vector<int64_t> sizes{column.size(0)};
  sizes.insert(sizes.end(), shape.begin(), shape.end());
  std::vector<int64_t> strides(sizes.size(), 0);
  strides[0] = column.stride(0);
  return column.as_strided(sizes, strides, column.storage_offset());
}

// t [P, ...] with constant rows, as the same values broadcast to `sizes`
// (the first entry is P).  A view.
inline at::Tensor broadcast_rows(const at::Tensor& t, at::IntArrayRef sizes) {
  return broadcast_column(residue_column(t), sizes.slice(1));
}

// A copy of residues that keeps constant rows constant: the column is copied
// and broadcast again; anything else is cloned.
inline at::Tensor copy_residues(const at::Tensor& t) {
  if (is_broadcast_rows(t)) return broadcast_column(residue_column(t).clone(), t.sizes().slice(1));
  return t.clone();
}

// t itself where its rows are constant (any reader takes them as they are),
// else a contiguous copy.
inline at::Tensor contiguous_rows(const at::Tensor& t) { return has_constant_rows(t) ? t : t.contiguous(); }

// Whether t (any tensor, e.g. an approximation) holds one element repeated
// over more than one place: every axis of length 1 or stride 0.
inline bool is_broadcast_value(const at::Tensor& t) {
  if (t.numel() <= 1) return false;
  for (int64_t d = 0; d < t.dim(); ++d)
    if (t.size(d) != 1 && t.stride(d) != 0) return false;
  return true;
}

// The one element of such a tensor, with every axis of length 1 (a view).
inline at::Tensor one_element(const at::Tensor& t) {
  return t.as_strided(std::vector<int64_t>(static_cast<size_t>(t.dim()), 1), t.strides(), t.storage_offset());
}

}  // namespace kalvex
