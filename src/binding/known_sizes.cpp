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
  int64_t bits;
};

// Inference tensors carry no version counter; they cannot be written in
// place outside inference mode, so they are taken as they were.
int64_t version_of(const at::Tensor& t) { return t.is_inference() ? -1 : static_cast<int64_t>(t._version()); }

class Table {
 public:
  void remember(const at::Tensor& t, int64_t bits) {
    if (!t.defined()) return;
    const int64_t version = version_of(t);
    auto found = entries_.find(t.unsafeGetTensorImpl());
    if (found != entries_.end() && found->second.version == version) {
      // The same contents: both bounds hold, so the smaller does.
      found->second.bits = std::min(found->second.bits, bits);
      return;
    }
    if (found != entries_.end()) {
      found->second = Entry{c10::weak_intrusive_ptr<c10::TensorImpl>(t.getIntrusivePtr()), version, bits};
      return;
    }
    entries_.emplace(t.unsafeGetTensorImpl(),
                     Entry{c10::weak_intrusive_ptr<c10::TensorImpl>(t.getIntrusivePtr()), version, bits});
    if (entries_.size() > 2 * swept_size_) sweep();
  }

  // The bound of a live tensor; none when unknown or written since.
  c10::optional<int64_t> recall(const at::Tensor& t) const {
    if (!t.defined()) return c10::nullopt;
    const auto found = entries_.find(t.unsafeGetTensorImpl());
    if (found == entries_.end() || found->second.version != version_of(t)) return c10::nullopt;
    return found->second.bits;
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
int64_t attach_bound(at::Tensor& residues, const at::Tensor& primes) {
  if (const c10::optional<int64_t> known = table().recall(residues)) return *known;
  bool checked = false;
  const at::Tensor canonical = canonical_residues(residues, primes, checked);
  if (checked && canonical.is_same(residues)) table().remember(residues, kRangeBound);
  residues = canonical;
  return kRangeBound;
}

void remember_bounds(const RationalTensor& value) {
  table().remember(value.num, value.bits.num);
  table().remember(value.denom, value.bits.den);
}

void attach_bounds(RationalTensor& x, const at::Tensor& basis) {
  const at::Tensor& primes = x.primes.defined() ? x.primes : basis;
  x.bits.num = attach_bound(x.num, primes);
  x.bits.den = attach_bound(x.denom, primes);
}

}  // namespace kalvex::py
