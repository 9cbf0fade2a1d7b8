#include "binding/known_sizes.h"

#include <c10/core/TensorImpl.h>
#include <c10/util/intrusive_ptr.h>

#include <unordered_map>

#include "core/canonical.h"

namespace kalvex::py {

namespace {

struct Entry {
  c10::weak_intrusive_ptr<c10::TensorImpl> tensor;
  int64_t version;
  Bound bound;
};

// Inference tensors carry no version counter; they cannot be written in
// place outside inference mode, so they are taken as they were.
int64_t version_of(const at::Tensor& t) { return t.is_inference() ? -1 : static_cast<int64_t>(t._version()); }

class Table {
 public:
  void remember(const at::Tensor& t, const Bound& bound) {
    if (!t.defined()) return;
    const int64_t version = version_of(t);
    auto found = entries_.find(t.unsafeGetTensorImpl());
    if (found != entries_.end() && found->second.version == version) {
      // The same contents: both bounds hold, so the tighter ones do.
      found->second.bound.upper = std::min(found->second.bound.upper, bound.upper);
      found->second.bound.floor = std::max(found->second.bound.floor, bound.floor);
      return;
    }
    if (found != entries_.end()) {
      found->second = Entry{c10::weak_intrusive_ptr<c10::TensorImpl>(t.getIntrusivePtr()), version, bound};
      return;
    }
    entries_.emplace(t.unsafeGetTensorImpl(),
                     Entry{c10::weak_intrusive_ptr<c10::TensorImpl>(t.getIntrusivePtr()), version, bound});
    if (entries_.size() > 2 * swept_size_) sweep();
  }

  // The bounds of a live tensor; none when unknown or written since.
  c10::optional<Bound> recall(const at::Tensor& t) const {
    if (!t.defined()) return c10::nullopt;
    const auto found = entries_.find(t.unsafeGetTensorImpl());
    if (found == entries_.end() || found->second.version != version_of(t)) return c10::nullopt;
    return found->second.bound;
  }

 private:
  void sweep() {
    for (auto it = entries_.begin(); it != entries_.end();) it = it->second.tensor.expired() ? entries_.erase(it) : ++it;
    swept_size_ = std::max<size_t>(kMinimumSweep, entries_.size());
  }

  static constexpr size_t kMinimumSweep = 1024;
  std::unordered_map<const c10::TensorImpl*, Entry> entries_;
  size_t swept_size_ = kMinimumSweep;
};

// Never destroyed: tensors may still be released after the module is gone.
Table& table() {
  static Table* instance = new Table;
  return *instance;
}

}  // namespace

// A raw tensor is made canonical (and, when it already was, remembered as
// checked and in range).
Bound attach_bound(at::Tensor& residues, const at::Tensor& primes) {
  if (const c10::optional<Bound> known = table().recall(residues)) return *known;
  const Bound raw{kRangeBound, kNoFloor};
  bool checked = false;
  const at::Tensor canonical = canonical_residues(residues, primes, checked);
  if (checked && canonical.is_same(residues)) table().remember(residues, raw);
  residues = canonical;
  return raw;
}

void remember_bounds(const RationalTensor& value) {
  table().remember(value.num, {value.bits.num, value.bits.num_floor});
  table().remember(value.denom, {value.bits.den, value.bits.den_floor});
}

void attach_bounds(RationalTensor& x, const at::Tensor& basis) {
  const at::Tensor& primes = x.primes.defined() ? x.primes : basis;
  const Bound num = attach_bound(x.num, primes), den = attach_bound(x.denom, primes);
  x.bits = {num.upper, den.upper, num.floor, den.floor};
}

}  // namespace kalvex::py
