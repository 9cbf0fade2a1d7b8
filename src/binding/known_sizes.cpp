#include "binding/known_sizes.h"

#include <c10/core/TensorImpl.h>
#include <c10/util/intrusive_ptr.h>

#include <vector>

#include "core/canonical.h"

namespace kalvex::py {

namespace {

// Inference tensors carry no version counter; they cannot be written in
// place outside inference mode, so they are taken as they were.
int64_t version_of(const at::Tensor& t) { return t.is_inference() ? -1 : static_cast<int64_t>(t._version()); }

// Open addressing on the implementation's address, without per-entry
// allocation: an operation remembers two tensors, and the table sits on the
// path of every one-element operation.  A weak reference keeps the address
// of a dead tensor from being reused while its entry is there; dead entries
// go when the table is rebuilt, each time it is half full.
class Table {
 public:
  Table() : slots_(kMinimumCapacity) {}

  void remember(const at::Tensor& t, const Bound& bound) {
    if (!t.defined()) return;
    const int64_t version = version_of(t);
    Slot& slot = find(t.unsafeGetTensorImpl());
    if (slot.key != nullptr && slot.version == version) {
      // The same contents: both bounds hold, so the tighter ones do.
      slot.bound.upper = std::min(slot.bound.upper, bound.upper);
      slot.bound.floor = std::max(slot.bound.floor, bound.floor);
      return;
    }
    if (slot.key == nullptr) {
      slot.key = t.unsafeGetTensorImpl();
      slot.tensor.emplace(t.getIntrusivePtr());
      ++used_;
    }
    slot.version = version;
    slot.bound = bound;
    if (2 * used_ > slots_.size()) rebuild();
  }

  // The bounds of a live tensor; none when unknown or written since.
  c10::optional<Bound> recall(const at::Tensor& t) {
    if (!t.defined()) return c10::nullopt;
    const Slot& slot = find(t.unsafeGetTensorImpl());
    if (slot.key == nullptr || slot.version != version_of(t)) return c10::nullopt;
    return slot.bound;
  }

 private:
  struct Slot {
    const c10::TensorImpl* key = nullptr;
    c10::optional<c10::weak_intrusive_ptr<c10::TensorImpl>> tensor;
    int64_t version = 0;
    Bound bound{0, 0};
  };

  // The slot of `key`, or the empty one where it would go.
  Slot& find(const c10::TensorImpl* key) {
    const size_t mask = slots_.size() - 1;
    size_t i = (reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ull >> 20 & mask;
    while (slots_[i].key != nullptr && slots_[i].key != key) i = (i + 1) & mask;
    return slots_[i];
  }

  // The live entries again, in a table a quarter full at most.
  void rebuild() {
    std::vector<Slot> old = std::move(slots_);
    size_t live = 0;
    for (const Slot& s : old) live += s.key != nullptr && !s.tensor->expired();
    size_t capacity = kMinimumCapacity;
    while (capacity < 4 * live) capacity *= 2;
    slots_ = std::vector<Slot>(capacity);
    used_ = 0;
    for (Slot& s : old) {
      if (s.key == nullptr || s.tensor->expired()) continue;
      find(s.key) = std::move(s);
      ++used_;
    }
  }

  static constexpr size_t kMinimumCapacity = 64;
  std::vector<Slot> slots_;
  size_t used_ = 0;
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
