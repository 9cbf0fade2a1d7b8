#include "core/kernels/take_along.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <vector>

#include "core/basis.h"
#include "core/kernels/constant_rows.h"
#include "core/kernels/host_copy.h"
#include "core/paths.h"

namespace kalvex::kernels {

namespace {

// Positions read ahead of use: sorted positions are a random permutation of
// a row far larger than the caches, and each read is a miss without this.
constexpr int64_t kLookahead = 64;

// One tensor seen as [P, A, L, B]: the prime axis, the axes before the picked
// one merged, the picked axis, the axes after it merged.  (The index is
// [A, k, B], with no prime axis.)
struct Layout {
  int64_t* data = nullptr;
  int64_t prime = 0, outer = 0, axis = 0, inner = 0;  // strides
};

// Merges axes [begin, end) of t into one of `size` elements: true with its
// stride when they form one arithmetic progression (axes of length 1 ignored).
bool merged_stride(const at::Tensor& t, int64_t begin, int64_t end, int64_t& stride) {
  int64_t size = 1;
  stride = 1;
  for (int64_t a = end - 1; a >= begin; --a) {
    if (t.size(a) == 1) continue;
    if (size == 1) {
      stride = t.stride(a);
    } else if (t.stride(a) != size * stride) {
      return false;
    }
    size *= t.size(a);
  }
  return true;
}

bool layout_of(const at::Tensor& t, int64_t axis, int64_t first, Layout& out) {
  out.data = t.data_ptr<int64_t>();
  out.prime = first == 1 ? t.stride(0) : 0;
  out.axis = t.stride(axis);
  return merged_stride(t, first, axis, out.outer) && merged_stride(t, axis + 1, t.dim(), out.inner);
}

// One prime row of one or both tensors (kPair) at one outer position, axes
// after the picked one of length 1: dst[j] = src[index[j]].
template <bool kUnit, bool kPair>
void take_row(const int64_t* __restrict__ index, int64_t index_stride, int64_t count,
              const int64_t* __restrict__ num, const int64_t* __restrict__ den, int64_t src_stride,
              int64_t* __restrict__ out_num, int64_t* __restrict__ out_den, int64_t dst_stride) {
  const int64_t is = kUnit ? 1 : index_stride, ss = kUnit ? 1 : src_stride, ds = kUnit ? 1 : dst_stride;
  const int64_t ahead = std::max<int64_t>(0, count - kLookahead);
  int64_t j = 0;
  for (; j < ahead; ++j) {
    const int64_t next = index[(j + kLookahead) * is] * ss;
    __builtin_prefetch(num + next);
    if (kPair) __builtin_prefetch(den + next);
    const int64_t i = index[j * is] * ss;
    out_num[j * ds] = num[i];
    if (kPair) out_den[j * ds] = den[i];
  }
  for (; j < count; ++j) {
    const int64_t i = index[j * is] * ss;
    out_num[j * ds] = num[i];
    if (kPair) out_den[j * ds] = den[i];
  }
}

// The same with axes after the picked one: for each position j along the
// axis, a run of `inner` elements, each from its own source position.  A
// null `den` picks numerators only.
void take_block(const int64_t* index, const Layout& ix, int64_t count, int64_t inner, const int64_t* num,
                const Layout& n, const int64_t* den, const Layout& d, int64_t* out_num, const Layout& on,
                int64_t* out_den, const Layout& od) {
  for (int64_t j = 0; j < count; ++j) {
    const int64_t* row = index + j * ix.axis;
    const int64_t ahead = std::max<int64_t>(0, inner - kLookahead);
    for (int64_t b = 0; b < inner; ++b) {
      if (b < ahead) {
        const int64_t c = b + kLookahead;
        __builtin_prefetch(num + row[c * ix.inner] * n.axis + c * n.inner);
        if (den != nullptr) __builtin_prefetch(den + row[c * ix.inner] * d.axis + c * d.inner);
      }
      const int64_t i = row[b * ix.inner];
      out_num[j * on.axis + b * on.inner] = num[i * n.axis + b * n.inner];
      if (den != nullptr) out_den[j * od.axis + b * od.inner] = den[i * d.axis + b * d.inner];
    }
  }
}

// num, den [P, A, L, B] -> out [P, A, k, B] at index [A, k, B].  One task
// per (outer position, prime): the task reads its index slice once for both
// residue tensors.  An undefined `den` (and `out_den`) picks numerators only.
void take_along_cpu(const at::Tensor& num, const at::Tensor& den, int64_t axis, const at::Tensor& index,
                    at::Tensor& out_num, at::Tensor& out_den) {
  const bool pair = den.defined();
  Layout n, d, on, od, ix;
  layout_of(num, axis, 1, n);
  layout_of(out_num, axis, 1, on);
  if (pair) {
    layout_of(den, axis, 1, d);
    layout_of(out_den, axis, 1, od);
  } else {
    d = n;
    od = on;
  }
  layout_of(index, axis - 1, 0, ix);
  const int64_t primes = num.size(0), count = index.size(axis - 1);
  int64_t outer = 1, inner = 1;
  for (int64_t a = 0; a < axis - 1; ++a) outer *= index.size(a);
  for (int64_t a = axis; a < index.dim(); ++a) inner *= index.size(a);
  const bool unit = inner == 1 && ix.axis == 1 && n.axis == 1 && d.axis == 1 && on.axis == 1 && od.axis == 1;
  const bool same_source_stride = n.axis == d.axis && on.axis == od.axis;
  const int64_t grain = std::max<int64_t>(1, 32768 / std::max<int64_t>(1, count * inner));

  at::parallel_for(0, outer * primes, grain, [&](int64_t begin, int64_t end) {
    for (int64_t item = begin; item < end; ++item) {
      const int64_t a = item / primes, p = item % primes;
      const int64_t* positions = ix.data + a * ix.outer;
      const int64_t* src_n = n.data + p * n.prime + a * n.outer;
      const int64_t* src_d = pair ? d.data + p * d.prime + a * d.outer : nullptr;
      int64_t* dst_n = on.data + p * on.prime + a * on.outer;
      int64_t* dst_d = pair ? od.data + p * od.prime + a * od.outer : nullptr;
      if (unit && pair) {
        take_row<true, true>(positions, 1, count, src_n, src_d, 1, dst_n, dst_d, 1);
      } else if (unit) {
        take_row<true, false>(positions, 1, count, src_n, nullptr, 1, dst_n, nullptr, 1);
      } else if (inner == 1 && same_source_stride && pair) {
        take_row<false, true>(positions, ix.axis, count, src_n, src_d, n.axis, dst_n, dst_d, on.axis);
      } else if (inner == 1 && !pair) {
        take_row<false, false>(positions, ix.axis, count, src_n, nullptr, n.axis, dst_n, nullptr, on.axis);
      } else {
        take_block(positions, ix, count, inner, src_n, n, src_d, d, dst_n, on, dst_d, od);
      }
    }
  });
}

// Positions from a key of the user shape S, index [*S] but along the axis,
// where it may be shorter (k positions of a longer axis).
bool fits_cpu_pass(const at::Tensor& num, const at::Tensor& den, int64_t axis, const at::Tensor& index,
                   at::IntArrayRef key_shape) {
  if (!host_residues(num, den, kNumPrimes) || !host_paths(index) || index.scalar_type() != at::kLong) return false;
  if (num.dim() < 2) return false;
  if (axis < 1 || axis >= num.dim() || index.dim() != num.dim() - 1) return false;
  if (!key_shape.equals(num.sizes().slice(1))) return false;
  for (int64_t a = 1; a < num.dim(); ++a) {
    const int64_t want = index.size(a - 1), have = num.size(a);
    if (a == axis ? want > have : want != have) return false;
  }
  return true;
}

// Residues whose axes around the picked one do not merge are read through a
// contiguous copy; the layouts torch's views give merge.
at::Tensor mergeable(const at::Tensor& t, int64_t axis, int64_t first) {
  Layout unused;
  return layout_of(t, axis, first, unused) ? t : t.contiguous();
}

}  // namespace

std::pair<at::Tensor, at::Tensor> take_along(const at::Tensor& num, const at::Tensor& denom, int64_t axis,
                                             const at::Tensor& index, at::IntArrayRef key_shape) {
  std::vector<int64_t> sizes{kNumPrimes};
  sizes.insert(sizes.end(), index.sizes().begin(), index.sizes().end());
  // Picks from constant rows are those rows again (NOTE: [Constant rows]):
  // the denominators of captured values are not read at all.
  const bool shaped = key_shape.equals(num.sizes().slice(1)) && denom.sizes().equals(num.sizes());
  const bool num_constant = shaped && has_constant_rows(num) && num.size(0) == kNumPrimes;
  const bool den_constant = shaped && has_constant_rows(denom) && denom.size(0) == kNumPrimes;
  at::Tensor out_num = num_constant ? broadcast_rows(num, sizes) : at::Tensor();
  at::Tensor out_den = den_constant ? broadcast_rows(denom, sizes) : at::Tensor();
  if (num_constant && den_constant) return {out_num, out_den};
  if (fits_cpu_pass(num, denom, axis, index, key_shape)) {
    const at::Tensor& varying = num_constant ? denom : num;  // one half at least is picked
    at::Tensor picked = at::empty(sizes, varying.options());
    at::Tensor other = num_constant || den_constant ? at::Tensor() : at::empty(sizes, denom.options());
    if (picked.numel() > 0) {
      take_along_cpu(mergeable(varying, axis, 1), other.defined() ? mergeable(denom, axis, 1) : at::Tensor(), axis,
                     mergeable(index, axis - 1, 0), picked, other);
    }
    if (num_constant) return {out_num, picked};
    return {picked, den_constant ? out_den : other};
  }
  const at::Tensor spread = index.unsqueeze(0).expand(sizes);
  return {num_constant ? out_num : at::gather(num, axis, spread),
          den_constant ? out_den : at::gather(denom, axis, spread)};
}

at::Tensor pick_elements(const at::Tensor& half, const std::vector<std::vector<int64_t>>& axes, int64_t count) {
  const int64_t rows = half.size(0);
  at::Tensor t = half;
  if (host_paths(t) && t.scalar_type() == at::kLong) {
    // Element by element: torch's index_select along an inner axis is slow
    // on the CPU.
    std::vector<int64_t> offsets(static_cast<size_t>(count), 0);
    for (size_t a = 0; a < axes.size(); ++a) {
      const int64_t axis = static_cast<int64_t>(a) + 1;
      if (t.size(axis) == 1 || t.stride(axis) == 0) continue;
      for (size_t k = 0; k < offsets.size(); ++k) offsets[k] += axes[a][k] * t.stride(axis);
    }
    at::Tensor out = at::empty({rows, count}, at::TensorOptions().dtype(at::kLong));
    const int64_t* base = t.data_ptr<int64_t>();
    int64_t* dst = out.data_ptr<int64_t>();
    for (int64_t r = 0; r < rows; ++r) {
      const int64_t* row = base + r * t.stride(0);
      int64_t* into = dst + r * count;
      for (int64_t k = 0; k < count; ++k) into[k] = row[offsets[static_cast<size_t>(k)]];
    }
    return out;
  }
  for (int64_t a = 1; a < t.dim(); ++a)
    if (t.stride(a) == 0) t = t.narrow(a, 0, 1);  // a constant row (NOTE: [Constant rows])
  c10::List<c10::optional<at::Tensor>> index;
  index.push_back(c10::nullopt);
  bool broadcast_only = true;
  for (size_t a = 0; a < axes.size(); ++a) {
    if (t.size(static_cast<int64_t>(a) + 1) == 1) {
      index.push_back(at::zeros({count}, at::TensorOptions().dtype(at::kLong).device(t.device())));
    } else {
      index.push_back(index_tensor(axes[a], t.device()));
      broadcast_only = false;
    }
  }
  if (broadcast_only) return host_int64(t.reshape({rows, 1}).expand({rows, count})).contiguous();
  if (axes.size() == 1) return host_int64(t.index_select(1, *index.get(1))).contiguous();
  return host_int64(at::index(t, index)).contiguous();
}

}  // namespace kalvex::kernels
