// str(): the values laid out as torch lays out a tensor, each element as an
// exact fraction where it can be read and as its approximation, marked with
// "~", where it cannot.
#include <ATen/ATen.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/bodies.h"
#include "binding/elements.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"

namespace kalvex::py::body {

namespace {

constexpr int64_t kSummaryThreshold = 1000;  // more elements than this are abbreviated,
constexpr int64_t kEdgeItems = 3;            // keeping this many at each end of a long axis
constexpr size_t kLineWidth = 80;

std::string integer_text(mpz_srcptr v) {
  std::vector<char> text(mpz_sizeinbase(v, 10) + 2);
  mpz_get_str(text.data(), 10, v);
  return text.data();
}

std::string element_text(const ElementValues::Reading& r, double approx) {
  if (!r.readable) {
    char text[32];
    std::snprintf(text, sizeof text, "~%.6g", approx);
    return text;
  }
  if (!r.small) {
    const std::string num = integer_text(mpq_numref(r.big));
    if (mpz_cmp_ui(mpq_denref(r.big), 1) == 0) return num;
    return num + "/" + integer_text(mpq_denref(r.big));
  }
  return r.den == 1 ? std::to_string(r.num) : std::to_string(r.num) + "/" + std::to_string(r.den);
}

// The elements shown (all, or kEdgeItems at each end of every long axis),
// their texts padded to one width, laid out with torch's brackets.
class Layout {
 public:
  Layout(std::vector<int64_t> shape, std::vector<bool> cut, std::vector<std::string> cells)
      : shape_(std::move(shape)), cut_(std::move(cut)), cells_(std::move(cells)) {
    for (const std::string& c : cells_) width_ = std::max(width_, c.size());
    for (std::string& c : cells_) c.insert(0, width_ - c.size(), ' ');
  }

  std::string text(size_t indent) {
    if (shape_.empty()) return cells_.empty() ? std::string() : cells_[0];
    size_t next = 0;
    return block(0, indent, next);
  }

 private:
  std::string block(size_t dim, size_t indent, size_t& next) {
    const int64_t count = shape_[dim];
    const bool last = dim + 1 == shape_.size();
    std::string out = "[";
    if (last) {
      const size_t per_line = std::max<size_t>(1, (kLineWidth - indent - 1) / (width_ + 2));
      for (int64_t i = 0, on_line = 0; i < count; ++i) {
        if (i > 0) {
          out += ",";
          if (static_cast<size_t>(on_line) == per_line) {
            out += "\n" + std::string(indent + 1, ' ');
            on_line = 0;
          } else {
            out += " ";
          }
        }
        if (cut_[dim] && i == kEdgeItems) {
          out += "...,";
          out += static_cast<size_t>(on_line + 1) == per_line ? "\n" + std::string(indent + 1, ' ') : " ";
          on_line = static_cast<size_t>(on_line + 1) == per_line ? 0 : on_line + 1;
        }
        out += cells_[next++];
        ++on_line;
      }
      return out + "]";
    }
    const std::string separator = "," + std::string(shape_.size() - dim - 1, '\n') + std::string(indent + 1, ' ');
    for (int64_t i = 0; i < count; ++i) {
      if (i > 0) out += separator;
      if (cut_[dim] && i == kEdgeItems) out += "..." + separator;
      out += block(dim + 1, indent + 1, next);
    }
    return out + "]";
  }

  std::vector<int64_t> shape_;
  std::vector<bool> cut_;  // per axis: shown as its two ends
  std::vector<std::string> cells_;
  size_t width_ = 0;
};

std::string shape_text(at::IntArrayRef shape) {
  std::string out = "(";
  for (size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
  return out + (shape.size() == 1 ? ",)" : ")");
}

std::string described(PyObject* self) {
  RationalTensor x = checked_values(self);
  const std::vector<int64_t> shape = x.shape().vec();
  int64_t count = 1;
  for (int64_t n : shape) count *= n;
  std::vector<bool> cut(shape.size(), false);
  std::vector<int64_t> shown = shape;
  if (count > kSummaryThreshold) {
    for (size_t d = 0; d < shape.size(); ++d) {
      if (shape[d] <= 2 * kEdgeItems) continue;
      const at::Tensor ends = at::cat({at::arange(kEdgeItems), at::arange(shape[d] - kEdgeItems, shape[d])})
                                  .to(x.num.device());
      const auto axis = static_cast<int64_t>(d);
      x.num = x.num.index_select(axis + 1, ends);
      x.denom = x.denom.index_select(axis + 1, ends);
      if (x.approx) x.approx = x.approx->index_select(axis, ends.to(x.approx->device()));
      cut[d] = true;
      shown[d] = 2 * kEdgeItems;
    }
  }
  ElementValues values(x);
  const std::vector<ElementValues::Reading> readings = read_all(values);
  // The approximations come to the host only when some element needs one.
  at::Tensor approx;
  const bool unreadable = std::any_of(readings.begin(), readings.end(), [](const auto& r) { return !r.readable; });
  if (unreadable && x.approx) approx = x.approx->to(at::kDouble).cpu().contiguous().reshape({-1});
  std::vector<std::string> cells;
  cells.reserve(readings.size());
  for (size_t k = 0; k < readings.size(); ++k)
    cells.push_back(element_text(readings[k], approx.defined() ? approx.data_ptr<double>()[k] : NAN));
  const std::string prefix = "ModularTensor(";
  Layout layout(shown, cut, std::move(cells));
  Ref device = read_field(self, Field::Device);
  Ref device_text = Ref::checked(PyObject_Str(device.get()));
  const char* device_chars = PyUnicode_AsUTF8(device_text.get());
  if (device_chars == nullptr) throw_error_set();
  return prefix + layout.text(prefix.size()) + ", shape=" + shape_text(shape) + ", device='" + device_chars + "')";
}

}  // namespace

// Never raises: what cannot be shown leaves the repr, and a record whose
// repr fails too the plainest text of an object.
PyObject* str(PyObject* const* args) {
  PyObject* self = args[0];
  try {
    const std::string text = described(self);
    return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
  } catch (...) {
    PyErr_Clear();
  }
  if (PyObject* repr = PyObject_Repr(self)) return repr;
  PyErr_Clear();
  return PyUnicode_FromFormat("<%s object at %p>", Py_TYPE(self)->tp_name, static_cast<void*>(self));
}

}  // namespace kalvex::py::body
