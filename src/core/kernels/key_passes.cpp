// The passes over float keys that tell a decision whether the floats settle
// it (NOTE: [Exact decisions]): one host pass on the CPU, a few whole-tensor
// operations elsewhere.
#include "core/kernels/key_passes.h"

#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <ATen/WrapDimUtils.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "core/paths.h"
#include "core/simd.h"

namespace kalvex::kernels {

namespace {

// Over row[0 .. length): whether some key is 0 or not finite, and how many
// equal `edge`.  Branch-free, so that it vectorizes.
struct KeyScan {
  bool special;
  int64_t equal;
};
template <typename T>
inline KeyScan scan_keys_of(const T* row, int64_t length, T edge) {
  constexpr T kLargest = std::numeric_limits<T>::max();
  KeyScan out{false, 0};
  constexpr int64_t kChunk = int64_t{1} << 30;  // int32 counts per chunk
  for (int64_t start = 0; start < length; start += kChunk) {
    const int64_t end = std::min(length, start + kChunk);
    int32_t special = 0, equal = 0;
    for (int64_t j = start; j < end; ++j) {
      const T a = std::fabs(row[j]);
      special |= static_cast<int32_t>(!(a > 0)) | static_cast<int32_t>(!(a <= kLargest));  // 0, infinite or NaN
      equal += static_cast<int32_t>(row[j] == edge);
    }
    out.special = out.special || special != 0;
    out.equal += equal;
  }
  return out;
}
KALVEX_CLONES KeyScan scan_keys(const float* row, int64_t length, float edge) { return scan_keys_of(row, length, edge); }
KALVEX_CLONES KeyScan scan_keys(const double* row, int64_t length, double edge) { return scan_keys_of(row, length, edge); }

// Appends slots j and j + 1 of `row`, a tied pair, to the row-major (row,
// slot) list `rc`; a run's shared members are listed once.
void add_tied_pair(std::vector<int64_t>& rc, int64_t row, int64_t j) {
  const size_t n = rc.size();
  if (n == 0 || rc[n - 2] != row || rc[n - 1] != j) rc.insert(rc.end(), {row, j});
  rc.insert(rc.end(), {row, j + 1});
}

}  // namespace

at::Tensor special_views(const at::Tensor& view) { return view.eq(0).logical_or(view.isfinite().logical_not()); }

// The members of runs of equal keys in `sorted` (rows of keys as torch's
// sort leaves them), as row-major (row, slot) pairs; none when some key is
// 0 or not finite, which leaves more than ties to decide.  On the CPU one
// pass over the keys: a row whose ends are finite is finite throughout (NaN
// and infinities sort to the ends), and holds 0 only where a binary search
// between its ends finds it.
c10::optional<std::vector<int64_t>> tie_members(const at::Tensor& sorted) {
  const int64_t rows = sorted.size(0), length = sorted.size(1);
  std::vector<int64_t> rc;
  if (!host_paths(sorted)) {
    const at::Tensor ends = at::cat({sorted.narrow(1, 0, 1), sorted.narrow(1, length - 1, 1)}, 1);
    const at::Tensor flags = at::stack({ends.isfinite().logical_not().any(), sorted.eq(0).any()}).cpu();
    if (flags.any().item<bool>()) return c10::nullopt;
    const at::Tensor tied = sorted.narrow(1, 1, length - 1).eq(sorted.narrow(1, 0, length - 1));
    const at::Tensor pairs = at::nonzero(tied).cpu().contiguous();
    const int64_t* pr = pairs.data_ptr<int64_t>();
    for (int64_t k = 0; k < pairs.size(0); ++k) add_tied_pair(rc, pr[2 * k], pr[2 * k + 1]);
    return rc;
  }
  const at::Tensor keys = sorted.contiguous();
  bool special = false;
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, keys.scalar_type(), "tie_members", [&] {
    for (int64_t r = 0; r < rows && !special; ++r) {
      const scalar_t* row = keys.data_ptr<scalar_t>() + r * length;
      const double first = static_cast<double>(row[0]), last = static_cast<double>(row[length - 1]);
      if (!std::isfinite(first) || !std::isfinite(last)) {
        special = true;
      } else if (std::min(first, last) <= 0 && std::max(first, last) >= 0) {
        const scalar_t zero(0);
        const scalar_t* at = first <= last ? std::lower_bound(row, row + length, zero)
                                           : std::lower_bound(row, row + length, zero, std::greater<scalar_t>());
        special = at != row + length && static_cast<double>(*at) == 0;
      }
      for (int64_t j = 0; j + 1 < length && !special; ++j)
        if (row[j] == row[j + 1]) add_tied_pair(rc, r, j);
    }
  });
  if (special) return c10::nullopt;
  return rc;
}

bool topk_undecided(const at::Tensor& key, const at::Tensor& keys, int64_t dim, int64_t k) {
  if (key.dim() == 0 || key.numel() <= 1 || k <= 0 || !at::isFloatingType(key.scalar_type())) return false;
  const int64_t d = at::maybe_wrap_dim(dim, key.dim());
  const at::Tensor chosen = keys.movedim(d, -1);
  if (k >= 2 && chosen.narrow(-1, 1, k - 1).eq(chosen.narrow(-1, 0, k - 1)).any().item<bool>()) return true;
  const at::Tensor last = chosen.narrow(-1, k - 1, 1);
  if (!host_paths(key)) {
    if (special_views(key).any().item<bool>()) return true;
    const at::Tensor in_row = key.movedim(d, -1).eq(last).sum(-1);
    return in_row.gt(chosen.eq(last).sum(-1)).any().item<bool>();
  }
  // One pass over the keys: a key of 0 or not finite, or more keys equal to
  // the last chosen one in a row than were chosen.
  const int64_t length = key.size(d);
  const at::Tensor rows = key.movedim(d, -1).reshape({-1, length}).contiguous();
  const at::Tensor picks = chosen.reshape({-1, k}).contiguous();
  // Half types are scanned as float.
  const at::Tensor wide = rows.scalar_type() == at::kDouble ? rows : rows.to(at::kFloat);
  const at::Tensor picked = picks.to(wide.scalar_type());
  bool undecided = false;
  AT_DISPATCH_FLOATING_TYPES(wide.scalar_type(), "topk_undecided", [&] {
    for (int64_t r = 0; r < wide.size(0) && !undecided; ++r) {
      const scalar_t* top = picked.data_ptr<scalar_t>() + r * k;
      int64_t chosen_equal = 0;
      for (int64_t j = 0; j < k; ++j) chosen_equal += top[j] == top[k - 1];
      const KeyScan scan = scan_keys(wide.data_ptr<scalar_t>() + r * length, length, top[k - 1]);
      undecided = scan.special || scan.equal > chosen_equal;
    }
  });
  return undecided;
}

}  // namespace kalvex::kernels
