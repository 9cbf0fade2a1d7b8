#include "reconstruct/exact_decisions.h"

#include <ATen/ATen.h>
#include <ATen/WrapDimUtils.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/errors.h"
#include "core/kernels/host_copy.h"
#include "core/kernels/key_passes.h"
#include "reconstruct/crt.h"
#include "reconstruct/element_values.h"
#include "reconstruct/rational.h"
#include "reconstruct/scalar.h"

namespace kalvex {

namespace {

using kernels::special_views;

bool is_special(double v) { return v == 0.0 || !std::isfinite(v); }

// The row-major positions where `mask` is true, on the host (one copy).
std::vector<int64_t> host_positions(const at::Tensor& mask) {
  const at::Tensor positions = at::nonzero(mask.reshape({-1})).reshape({-1}).cpu().contiguous();
  const int64_t* p = positions.data_ptr<int64_t>();
  return std::vector<int64_t>(p, p + positions.numel());
}

// The number of elements x holds, its residue halves broadcast together.
int64_t element_count(const RationalTensor& x) {
  const auto sizes = at::infer_size(x.num.sizes(), x.denom.sizes());
  int64_t count = 1;
  for (size_t d = 1; d < sizes.size(); ++d) count *= sizes[d];
  return count;
}

// Whether exact values can back the decisions on `view`: a float view with
// one entry per element of a well-formed record.
bool can_refine(const RationalTensor& x, const at::Tensor& view) {
  if (!at::isFloatingType(view.scalar_type())) return false;
  if (!x.num.defined() || !x.denom.defined() || !x.primes.defined() || x.num.dim() < 1 ||
      x.num.dim() != x.denom.dim() || x.num.scalar_type() != at::kLong || x.denom.scalar_type() != at::kLong ||
      x.primes.dim() != 1 || x.num.size(0) != x.primes.size(0))
    return false;
  return view.numel() == element_count(x);
}

int compare_with(Order op, int cmp) {
  switch (op) {
    case Order::Less: return cmp < 0;
    case Order::LessEqual: return cmp <= 0;
    case Order::Greater: return cmp > 0;
    case Order::GreaterEqual: return cmp >= 0;
  }
  return 0;
}

at::Tensor torch_compare(const at::Tensor& a, double b, Order op) {
  switch (op) {
    case Order::Less: return at::lt(a, b);
    case Order::LessEqual: return at::le(a, b);
    case Order::Greater: return at::gt(a, b);
    case Order::GreaterEqual: return at::ge(a, b);
  }
  return at::Tensor();
}

// Writes `values` at the flat `positions` of `t`, a tensor of its own.
at::Tensor written(at::Tensor t, const std::vector<int64_t>& positions, const std::vector<double>& values) {
  if (positions.empty()) return t;
  t = t.contiguous();
  at::Tensor v = at::empty({static_cast<int64_t>(values.size())}, at::TensorOptions().dtype(at::kDouble));
  std::copy(values.begin(), values.end(), v.data_ptr<double>());
  t.view({-1}).index_put_({index_tensor(positions, t.device())}, v.to(t.device()).to(t.scalar_type()));
  return t;
}

double nearest_double(mpq_srcptr v) {
  BigInt num, den;
  mpz_set(num.get(), mpq_numref(v));
  mpz_set(den.get(), mpq_denref(v));
  try {
    return true_divide(num, den);
  } catch (const Error&) {  // beyond the double range
    return mpq_sgn(v) < 0 ? -HUGE_VAL : HUGE_VAL;
  }
}

// ---- ordering ---------------------------------------------------------------

// Per element of x, whether it is exactly 0: numerator residues all 0 and
// the numerator in range, a denominator in range that is not 0.
at::Tensor exactly_zero_elements(const RationalTensor& x) {
  const auto sizes = at::infer_size(x.num.sizes(), x.denom.sizes());
  const at::Tensor num = x.num.expand(sizes), den = x.denom.expand(sizes).to(x.num.device());
  const at::Tensor zero = num.eq(0).all(0).logical_and(den.ne(0).any(0));
  return in_range(x.bits) ? zero : at::zeros_like(zero);
}

// One whole row of a sort, torch's order in slots 0 .. L-1, reordered where
// the keys do not decide (see decided_sort): the row of a key that decides
// nothing by itself (`special`), which may move anywhere.
class RowOrder {
 public:
  RowOrder(const RationalTensor& x, const double* keys, const char* special, const int64_t* elements, int64_t length,
           bool descending)
      : x_(x), keys_(keys), special_(special), elements_(elements), length_(length), descending_(descending) {}

  // The new order of the slots.
  std::vector<int64_t> order() {
    std::vector<int64_t> normal, special;
    for (int64_t j = 0; j < length_; ++j) (special_[j] ? special : normal).push_back(j);
    // Runs of tied keys (but exact zeros, all equal), in exact order where every member has a value.
    std::vector<int64_t> wanted = special;
    for_each_run(normal, [&](size_t a, size_t b) { wanted.insert(wanted.end(), normal.begin() + a, normal.begin() + b); });
    read(wanted);
    for_each_run(normal, [&](size_t a, size_t b) {
      const bool all = std::all_of(normal.begin() + a, normal.begin() + b, [&](int64_t j) { return value(j); });
      if (all)
        std::stable_sort(normal.begin() + a, normal.begin() + b, [&](int64_t i, int64_t j) { return before(i, j); });
    });
    // Special keys with a value are placed by it; the others stay where torch put them.
    std::vector<int64_t> placed, kept;
    for (int64_t j : special) (value(j) ? placed : kept).push_back(j);
    if (placed.empty()) return normal_with(kept, normal);
    std::vector<int64_t> line = normal_with(kept, normal);
    std::stable_sort(placed.begin(), placed.end(), [&](int64_t i, int64_t j) { return before(i, j); });
    const std::vector<size_t> points = insertion_points(placed, line);
    std::vector<int64_t> out;
    out.reserve(static_cast<size_t>(length_));
    size_t next = 0;
    for (size_t t = 0; t <= line.size(); ++t) {
      while (next < placed.size() && points[next] == t) out.push_back(placed[next++]);
      if (t < line.size()) out.push_back(line[t]);
    }
    return out;
  }

 private:
  template <typename F>
  void for_each_run(const std::vector<int64_t>& normal, F f) const {
    for (size_t a = 0; a < normal.size();) {
      size_t b = a + 1;
      while (b < normal.size() && keys_[normal[b]] == keys_[normal[a]]) ++b;
      if (b - a > 1 && keys_[normal[a]] != 0.0) f(a, b);
      a = b;
    }
  }

  // The normal slots with the kept special ones back at their places.  The
  // normal slots are in slot order but inside the reordered runs, and no
  // special key lies inside a run (a run's keys are equal, finite and not 0),
  // so a kept slot is below or above every slot of a run alike.
  static std::vector<int64_t> normal_with(const std::vector<int64_t>& kept, const std::vector<int64_t>& normal) {
    if (kept.empty()) return normal;
    std::vector<int64_t> out;
    size_t k = 0;
    for (int64_t slot : normal) {
      while (k < kept.size() && kept[k] < slot) out.push_back(kept[k++]);
      out.push_back(slot);
    }
    while (k < kept.size()) out.push_back(kept[k++]);
    return out;
  }

  // Whether slot i comes before slot j by their exact values (both read).
  bool before(int64_t i, int64_t j) {
    const int cmp = mpq_cmp(value(i), value(j));
    return descending_ ? cmp > 0 : cmp < 0;
  }

  // For each placed slot (in exact order), the index in `line` before which
  // it goes: after every entry of `line` it does not come before.  Binary
  // searches run side by side, one batch of reads per step.
  std::vector<size_t> insertion_points(const std::vector<int64_t>& placed, const std::vector<int64_t>& line) {
    std::vector<size_t> lo(placed.size(), 0), hi(placed.size(), line.size());
    for (;;) {
      std::vector<int64_t> wanted;
      for (size_t s = 0; s < placed.size(); ++s)
        if (lo[s] < hi[s]) wanted.push_back(line[(lo[s] + hi[s]) / 2]);
      if (wanted.empty()) break;
      read(wanted);
      for (size_t s = 0; s < placed.size(); ++s) {
        if (lo[s] >= hi[s]) continue;
        const size_t mid = (lo[s] + hi[s]) / 2;
        if (goes_before(placed[s], line[mid])) {
          hi[s] = mid;
        } else {
          lo[s] = mid + 1;
        }
      }
    }
    return lo;
  }

  // Whether placed slot s goes before line slot t: exactly where t has a
  // value, on the floats otherwise (an unknown key, NaN, sorts last).
  bool goes_before(int64_t s, int64_t t) {
    if (mpq_srcptr vt = value(t)) {
      const int cmp = mpq_cmp(value(s), vt);
      return descending_ ? cmp > 0 : cmp < 0;
    }
    const double vs = nearest_double(value(s)), kt = keys_[t];
    if (std::isnan(kt)) return true;
    return descending_ ? vs > kt : vs < kt;
  }

  void read(const std::vector<int64_t>& slots) {
    std::vector<int64_t> fresh, positions;
    for (int64_t j : slots) {
      if (known_.count(j) != 0) continue;
      known_[j] = {-1, 0};
      fresh.push_back(j);
      positions.push_back(elements_[j]);
    }
    if (fresh.empty()) return;
    batches_.push_back(std::make_unique<ElementValues>(x_, positions));
    for (size_t k = 0; k < fresh.size(); ++k) known_[fresh[k]] = {static_cast<int>(batches_.size()) - 1, static_cast<int64_t>(k)};
  }

  mpq_srcptr value(int64_t j) {
    const auto found = known_.find(j);
    if (found == known_.end() || found->second.first < 0) return nullptr;
    return batches_[static_cast<size_t>(found->second.first)]->value(found->second.second);
  }

  const RationalTensor& x_;
  const double* keys_;
  const char* special_;
  const int64_t* elements_;
  int64_t length_;
  bool descending_;
  std::vector<std::unique_ptr<ElementValues>> batches_;
  std::unordered_map<int64_t, std::pair<int, int64_t>> known_;  // slot -> (batch, entry)
};

}  // namespace

at::Tensor decided_signs(const RationalTensor& x, const at::Tensor& view) {
  at::Tensor signs = view.sign();
  if (view.numel() == 0 || !can_refine(x, view)) return signs;
  const std::vector<int64_t> positions =
      view.numel() == 1 ? std::vector<int64_t>{0} : host_positions(special_views(view));
  if (positions.empty()) return signs;
  ElementValues values(x, positions);
  std::vector<int64_t> where;
  std::vector<double> decided;
  for (size_t k = 0; k < positions.size(); ++k) {
    if (mpq_srcptr v = values.value(static_cast<int64_t>(k))) {
      where.push_back(positions[k]);
      decided.push_back(mpq_sgn(v));
    }
  }
  return written(signs, where, decided);
}

int64_t decided_extreme_index(const RationalTensor& x, const at::Tensor& view, bool largest) {
  const at::Tensor flat = view.flatten();
  const int64_t index = (largest ? at::argmax(flat) : at::argmin(flat)).item<int64_t>();
  if (flat.numel() == 1 || !can_refine(x, view)) return index;
  // The best of the deciding views and its ties, and every view that decides nothing.
  const at::Tensor special = special_views(flat);
  const double fill = largest ? -HUGE_VAL : HUGE_VAL;
  const at::Tensor masked = flat.masked_fill(special, fill);
  const at::Tensor best = largest ? masked.max() : masked.min();
  const std::vector<int64_t> positions = host_positions(special.logical_or(masked.eq(best)));
  if (positions.size() == 1 && positions[0] == index) return index;
  ElementValues values(x, positions);
  int64_t chosen = -1;
  for (size_t k = 0; k < positions.size(); ++k) {
    mpq_srcptr v = values.value(static_cast<int64_t>(k));
    if (v == nullptr) return index;  // a candidate without a value: the float decision stands
    if (chosen < 0) {
      chosen = static_cast<int64_t>(k);
      continue;
    }
    const int cmp = mpq_cmp(v, values.value(chosen));
    if (largest ? cmp > 0 : cmp < 0) chosen = static_cast<int64_t>(k);
  }
  return positions[static_cast<size_t>(chosen)];
}

at::Tensor decided_compare(at::Tensor result, const RationalTensor& x, const at::Tensor& view_x,
                           const RationalTensor& y, const at::Tensor& view_y, Order op) {
  if (result.scalar_type() != at::kBool || result.numel() == 0 || !can_refine(x, view_x) || !can_refine(y, view_y)) return result;
  const bool single = view_x.numel() == 1 && view_y.numel() == 1;
  const at::Tensor undecided =
      single ? at::ones_like(result) : view_x.eq(view_y).logical_or(special_views(view_x)).logical_or(special_views(view_y));
  const std::vector<int64_t> positions = host_positions(undecided);
  if (positions.empty()) return result;
  // Each side's element and view at every undecided place of the broadcast result.
  const at::Tensor places = index_tensor(positions, result.device());
  auto side = [&](const at::Tensor& view, std::vector<int64_t>& elements, std::vector<double>& views) {
    const at::Tensor grid = at::arange(view.numel(), view.options().dtype(at::kLong)).view(view.sizes());
    const at::Tensor picked = grid.expand(result.sizes()).reshape({-1}).index_select(0, places.to(view.device()));
    const at::Tensor host = picked.cpu().contiguous();
    elements.assign(host.data_ptr<int64_t>(), host.data_ptr<int64_t>() + host.numel());
    const at::Tensor v = view.reshape({-1}).index_select(0, picked).to(at::kDouble).cpu().contiguous();
    views.assign(v.data_ptr<double>(), v.data_ptr<double>() + v.numel());
  };
  std::vector<int64_t> xe, ye;
  std::vector<double> xv, yv;
  side(view_x, xe, xv);
  side(view_y, ye, yv);
  ElementValues xs(x, xe), ys(y, ye);
  std::vector<int64_t> where;
  std::vector<double> decided;
  for (size_t k = 0; k < positions.size(); ++k) {
    const auto i = static_cast<int64_t>(k);
    int cmp;
    if (!single && !is_special(xv[k]) && ys.exactly_zero(i)) {
      cmp = xv[k] > 0 ? 1 : -1;  // against an exact 0 a deciding view decides
    } else if (!single && !is_special(yv[k]) && xs.exactly_zero(i)) {
      cmp = yv[k] > 0 ? -1 : 1;
    } else {
      mpq_srcptr a = xs.value(i);
      mpq_srcptr b = a ? ys.value(i) : nullptr;
      if (b == nullptr) continue;
      cmp = mpq_cmp(a, b);
    }
    where.push_back(positions[k]);
    decided.push_back(compare_with(op, cmp));
  }
  return written(result, where, decided);
}

at::Tensor decided_against(const RationalTensor& x, const at::Tensor& view, double bound, Order op,
                           const Replaced* replaced) {
  at::Tensor result = torch_compare(view, bound, op);
  if (result.numel() == 0 || !can_refine(x, view) || !std::isfinite(bound)) return result;
  const std::vector<int64_t> positions = view.numel() == 1
                                             ? std::vector<int64_t>{0}
                                             : host_positions(view.eq(bound).logical_or(special_views(view)));
  if (positions.empty()) return result;
  BigRational b, other;
  mpq_set_d(b.get(), bound);  // exact: a double is a fraction
  std::vector<char> was_replaced(positions.size(), 0);
  if (replaced != nullptr) {
    mpz_set(mpq_numref(other.get()), replaced->num.get());
    mpz_set(mpq_denref(other.get()), replaced->den.get());
    mpq_canonicalize(other.get());
    const at::Tensor flags = replaced->where.reshape({-1})
                                 .index_select(0, index_tensor(positions, replaced->where.device()))
                                 .to(at::kBool)
                                 .cpu()
                                 .contiguous();
    std::copy(flags.data_ptr<bool>(), flags.data_ptr<bool>() + flags.numel(), was_replaced.begin());
  }
  ElementValues values(x, positions);
  std::vector<int64_t> where;
  std::vector<double> decided;
  for (size_t k = 0; k < positions.size(); ++k) {
    mpq_srcptr v = was_replaced[k] ? other.get() : values.value(static_cast<int64_t>(k));
    if (v == nullptr) continue;
    where.push_back(positions[k]);
    decided.push_back(compare_with(op, mpq_cmp(v, b.get())));
  }
  return written(result, where, decided);
}

void decided_sort(const RationalTensor& x, const at::Tensor& key, int64_t dim, bool descending, at::Tensor& keys,
                  at::Tensor& indices) {
  std::tie(keys, indices) = at::sort(key, dim, descending);
  if (key.dim() == 0 || key.numel() <= 1 || !can_refine(x, key)) return;
  const int64_t d = at::maybe_wrap_dim(dim, key.dim());
  const int64_t length = key.size(d), rows = key.numel() / length;
  if (length <= 1) return;
  const at::Tensor sorted = keys.movedim(d, -1).reshape({rows, length});
  const at::Tensor order = indices.movedim(d, -1).reshape({rows, length});

  // What the keys leave undecided: runs of equal keys, keys not finite
  // (sorted to the ends of their rows), and keys of 0 whose values are not
  // exactly 0.  The usual answer is "ties only".
  // (row, slot) of every undecided slot, row-major; which keys decide nothing.
  std::vector<int64_t> rc;
  at::Tensor special_rows;
  if (c10::optional<std::vector<int64_t>> ties = kernels::tie_members(sorted)) {
    rc = std::move(*ties);
  } else {
    const at::Tensor tied = sorted.narrow(1, 1, length - 1).eq(sorted.narrow(1, 0, length - 1));
    at::Tensor special = sorted.isfinite().logical_not();
    at::Tensor pair = tied;
    const at::Tensor zero_keys = sorted.eq(0);
    if (zero_keys.any().item<bool>()) {
      const at::Tensor exact_zero =
          exactly_zero_elements(x).reshape(key.sizes()).movedim(d, -1).reshape({rows, length}).gather(1, order);
      special = special.logical_or(zero_keys.logical_and(exact_zero.logical_not()));
      // Exact zeros tied with each other are equal: torch's order stands.
      pair = pair.logical_and(
          exact_zero.narrow(1, 1, length - 1).logical_and(exact_zero.narrow(1, 0, length - 1)).logical_not());
    }
    pair = pair.logical_and(special.narrow(1, 1, length - 1).logical_or(special.narrow(1, 0, length - 1)).logical_not());
    at::Tensor member = special.clone();
    member.narrow(1, 1, length - 1).logical_or_(pair);
    member.narrow(1, 0, length - 1).logical_or_(pair);
    const at::Tensor where = at::nonzero(member).cpu().contiguous();
    const int64_t* w = where.data_ptr<int64_t>();
    rc.assign(w, w + where.numel());
    special_rows = special;
  }
  const auto count = static_cast<int64_t>(rc.size() / 2);
  if (count == 0) return;

  // The undecided slots: keys, positions along the axis, elements of x.
  std::vector<int64_t> flat(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k) flat[static_cast<size_t>(k)] = rc[2 * k] * length + rc[2 * k + 1];
  const at::Tensor picked = index_tensor(flat, key.device());
  const at::Tensor slot_keys = sorted.reshape({-1}).index_select(0, picked).to(at::kDouble).cpu().contiguous();
  const at::Tensor slot_positions = order.reshape({-1}).index_select(0, picked).cpu().contiguous();
  const at::Tensor slot_special = special_rows.defined()
                                      ? special_rows.reshape({-1}).index_select(0, picked).cpu().contiguous()
                                      : at::zeros({count}, at::TensorOptions().dtype(at::kBool));
  int64_t inner = 1;
  for (int64_t a = d + 1; a < key.dim(); ++a) inner *= key.size(a);
  // Row r of the moved axes is (outer, inner) = (r / inner, r % inner).
  auto element = [&](int64_t row, int64_t position) { return ((row / inner) * length + position) * inner + row % inner; };

  // torch's indices are ours to reorder in place.
  at::Tensor new_order = order.is_contiguous() ? order : order.contiguous();
  std::vector<int64_t> full_rows;
  std::vector<int64_t> changed_slots, changed_positions;
  const double* kv = slot_keys.data_ptr<double>();
  const int64_t* pv = slot_positions.data_ptr<int64_t>();
  const bool* sv = slot_special.data_ptr<bool>();
  for (int64_t a = 0; a < count;) {
    const int64_t row = rc[2 * a];
    int64_t b = a;
    bool has_special = false;
    while (b < count && rc[2 * b] == row) has_special |= sv[b++];
    if (has_special) {
      full_rows.push_back(row);
      a = b;
      continue;
    }
    // Only runs of tied keys: each sorted by the exact values of its members.
    std::vector<int64_t> elements;
    for (int64_t k = a; k < b; ++k) elements.push_back(element(row, pv[k]));
    ElementValues values(x, elements);
    for (int64_t s = a; s < b;) {
      int64_t e = s + 1;
      while (e < b && rc[2 * e + 1] == rc[2 * (e - 1) + 1] + 1 && kv[e] == kv[s]) ++e;
      std::vector<int64_t> run(static_cast<size_t>(e - s));
      for (int64_t k = s; k < e; ++k) run[static_cast<size_t>(k - s)] = k - a;
      const bool all = std::all_of(run.begin(), run.end(), [&](int64_t i) { return values.has_value(i); });
      if (all) {
        std::stable_sort(run.begin(), run.end(), [&](int64_t i, int64_t j) {
          const int cmp = values.compare(i, j);
          return descending ? cmp > 0 : cmp < 0;
        });
        for (int64_t k = s; k < e; ++k) {
          changed_slots.push_back(rc[2 * k] * length + rc[2 * k + 1]);
          changed_positions.push_back(pv[a + run[static_cast<size_t>(k - s)]]);
        }
      }
      s = e;
    }
    a = b;
  }
  if (!changed_slots.empty()) {
    at::Tensor positions = index_tensor(changed_positions, key.device());
    new_order.view({-1}).index_put_({index_tensor(changed_slots, key.device())}, positions);
  }
  if (!full_rows.empty()) {
    // Rows with keys that decide nothing: the whole row is ordered on the host.
    const at::Tensor which = index_tensor(full_rows, key.device());
    const at::Tensor row_keys = sorted.index_select(0, which).to(at::kDouble).cpu().contiguous();
    const at::Tensor row_special = special_rows.index_select(0, which).to(at::kChar).cpu().contiguous();
    at::Tensor row_order = order.index_select(0, which).cpu().contiguous();
    std::vector<int64_t> elements(static_cast<size_t>(length));
    for (size_t r = 0; r < full_rows.size(); ++r) {
      const auto i = static_cast<int64_t>(r);
      int64_t* positions = row_order.data_ptr<int64_t>() + i * length;
      for (int64_t j = 0; j < length; ++j) elements[static_cast<size_t>(j)] = element(full_rows[r], positions[j]);
      RowOrder row_sort(x, row_keys.data_ptr<double>() + i * length,
                        reinterpret_cast<const char*>(row_special.data_ptr<int8_t>()) + i * length, elements.data(),
                        length, descending);
      const std::vector<int64_t> slots = row_sort.order();
      std::vector<int64_t> reordered(static_cast<size_t>(length));
      for (int64_t j = 0; j < length; ++j) reordered[static_cast<size_t>(j)] = positions[slots[static_cast<size_t>(j)]];
      std::copy(reordered.begin(), reordered.end(), positions);
    }
    new_order.index_copy_(0, which, row_order.to(key.device()));
  }
  indices = new_order.reshape(keys.movedim(d, -1).sizes()).movedim(-1, d).contiguous();
  // Within a run the keys are equal; rows ordered whole take theirs anew.
  if (!full_rows.empty()) keys = at::gather(key, d, indices);
}

ExactDoubles undecided_values(const RationalTensor& x, const at::Tensor& view) {
  ExactDoubles out;
  if (view.numel() == 0) return out;
  if (!can_refine(x, view)) {
    out.complete = false;
    return out;
  }
  const std::vector<int64_t> positions = host_positions(special_views(view));
  if (positions.empty()) return out;
  ElementValues values(x, positions);
  for (size_t k = 0; k < positions.size(); ++k) {
    if (mpq_srcptr v = values.value(static_cast<int64_t>(k))) {
      out.positions.push_back(positions[k]);
      out.values.push_back(nearest_double(v));
    } else {
      out.complete = false;
    }
  }
  return out;
}

}  // namespace kalvex
