// Trace, determinant, inverse and solve.  The matrix is read through its
// residue slots only (no approximation is looked at); b of solve is read
// through its shape, num and denom, as late as the column assignment reads it.
#include <ATen/ATen.h>

#include "binding/bodies.h"
#include "binding/exception_boundary.h"
#include "binding/instance.h"
#include "binding/known_sizes.h"
#include "binding/tensors.h"
#include "linalg/linalg.h"

namespace kalvex::py::body {

namespace {

// self.det(), which a subclass may override; empty for the class itself.
linalg::DetSource det_source(PyObject* self) {
  if (is_exact_instance(self)) return {};
  return [self]() {
    Ref d = call_method(self, "det");
    return load(d.get());
  };
}

// What column i of a copy of A holds after `A_i[:, :, i] = src`: src itself
// when it already has the column's shape, else what torch's indexed
// assignment makes of it (a broadcast, or its error).
at::Tensor assigned_column(const at::Tensor& src, int64_t rows, int64_t n, const at::TensorOptions& options) {
  if (src.dim() == 2 && src.size(0) == rows && src.size(1) == n) return src;
  const at::Tensor target = at::empty({rows, n}, options);
  Ref target_obj = wrap_tensor(target);
  Ref src_obj = wrap_tensor(src);
  if (PyObject_SetItem(target_obj.get(), Py_Ellipsis, src_obj.get()) < 0) throw_error_set();
  return target;
}

// b as a vector [n] or a column [n, 1] (its last axis squeezed).
linalg::ColumnSource column_source(PyObject* b, const at::TensorOptions& options) {
  return [b, options](int64_t rows, int64_t n) {
    BitBounds bits = kAssumedInRange;
    auto slot = [&](Field field, int64_t& bound, int64_t& floor) {
      const bool column = user_shape(b).size() >= 2;
      at::Tensor residues = tensor_field(b, field);
      const Bound known = attach_bound(residues, at::Tensor());  // reduced modulo the matrix's primes when copied
      bound = known.upper;
      floor = known.floor;
      return assigned_column(column ? residues.squeeze(-1) : residues, rows, n, options);
    };
    linalg::Column out;
    out.num = slot(Field::Num, bits.num, bits.num_floor);
    out.den = slot(Field::Denom, bits.den, bits.den_floor);
    out.bits = bits;
    return out;
  };
}

}  // namespace

PyObject* trace(PyObject* const* args) {
  const RationalTensor a = load_residues(args[0]);
  return make_instance(linalg::trace(a)).release();
}

PyObject* det(PyObject* const* args) {
  const RationalTensor a = load_residues(args[0]);
  return make_instance(linalg::det(a)).release();
}

PyObject* inv(PyObject* const* args) {
  const RationalTensor a = load_residues(args[0]);
  return make_instance(linalg::inv(a, det_source(args[0]))).release();
}

PyObject* solve(PyObject* const* args) {
  const RationalTensor a = load_residues(args[0]);
  const linalg::ColumnSource b = column_source(args[1], a.num.options());
  return make_instance(linalg::solve(a, b, det_source(args[0]))).release();
}

}  // namespace kalvex::py::body
