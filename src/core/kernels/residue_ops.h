#pragma once
// The element-wise residue formulas, written once for the CPU and CUDA
// launchers.  Each op maps the residues (a, b) of x = a/b and (c, d) of
// y = c/d modulo one prime to the residues of the result.
#include <c10/macros/Macros.h>

#include "core/modmath.h"

namespace kalvex {

enum class BinaryOp { Add, Sub, Mul, Div };

struct AddOp {  // a/b + c/d = (ad + bc) / bd
  C10_HOST_DEVICE static void apply(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m, int64_t& num,
                                    int64_t& den) {
    const double da = as_double(a), db = as_double(b), dc = as_double(c), dd = as_double(d);
    num = as_residue(add_mod_d(mul_mod_d(da, dd, m), mul_mod_d(db, dc, m), m));
    den = as_residue(mul_mod_d(db, dd, m));
  }
};

struct SubOp {  // a/b - c/d = (ad - bc) / bd
  C10_HOST_DEVICE static void apply(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m, int64_t& num,
                                    int64_t& den) {
    const double da = as_double(a), db = as_double(b), dc = as_double(c), dd = as_double(d);
    num = as_residue(sub_mod_d(mul_mod_d(da, dd, m), mul_mod_d(db, dc, m), m));
    den = as_residue(mul_mod_d(db, dd, m));
  }
};

struct MulOp {  // (a/b)(c/d) = ac / bd
  C10_HOST_DEVICE static void apply(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m, int64_t& num,
                                    int64_t& den) {
    num = mul_mod(a, c, m);
    den = mul_mod(b, d, m);
  }
};

struct DivOp {  // (a/b) / (c/d) = ad / bc
  C10_HOST_DEVICE static void apply(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m, int64_t& num,
                                    int64_t& den) {
    num = mul_mod(a, d, m);
    den = mul_mod(b, c, m);
  }
};

// a/b == c/d modulo this prime: ad == bc.
C10_HOST_DEVICE inline bool cross_equal(int64_t a, int64_t b, int64_t c, int64_t d, const Modulus& m) {
  return mul_mod_d(as_double(a), as_double(d), m) == mul_mod_d(as_double(b), as_double(c), m);
}

// Calls f with the functor type of `op`.
template <typename F>
void visit_op(BinaryOp op, F&& f) {
  switch (op) {
    case BinaryOp::Add: f(AddOp{}); break;
    case BinaryOp::Sub: f(SubOp{}); break;
    case BinaryOp::Mul: f(MulOp{}); break;
    case BinaryOp::Div: f(DivOp{}); break;
  }
}

}  // namespace kalvex
