#pragma once
// The bodies of the module's methods and functions, one per member.  Each takes
// the bound arguments (see callable.h) and returns a new reference or throws.
#include "binding/py.h"

namespace kalvex::py::body {

#define KALVEX_BODY(name) PyObject* name(PyObject* const* args)

// record and constructors
KALVEX_BODY(init);
KALVEX_BODY(shape);
KALVEX_BODY(repr);
KALVEX_BODY(from_tensor);
KALVEX_BODY(from_fraction);
KALVEX_BODY(from_int);
KALVEX_BODY(zeros);
KALVEX_BODY(ones);

// element-wise arithmetic
KALVEX_BODY(add);
KALVEX_BODY(radd);
KALVEX_BODY(sub);
KALVEX_BODY(rsub);
KALVEX_BODY(mul);
KALVEX_BODY(rmul);
KALVEX_BODY(truediv);
KALVEX_BODY(eq);

// reductions
KALVEX_BODY(sum);
KALVEX_BODY(dot);

// read-back
KALVEX_BODY(to_float);
KALVEX_BODY(simplify);
KALVEX_BODY(to_rational);
KALVEX_BODY(to_decimal);

// element-wise functions
KALVEX_BODY(abs);
KALVEX_BODY(sign);
KALVEX_BODY(max);
KALVEX_BODY(min);
KALVEX_BODY(argmax);
KALVEX_BODY(argmin);
KALVEX_BODY(relu);
KALVEX_BODY(clamp);
KALVEX_BODY(pow);
KALVEX_BODY(square);
KALVEX_BODY(reciprocal);
KALVEX_BODY(dunder_pow);
KALVEX_BODY(lt);
KALVEX_BODY(le);
KALVEX_BODY(gt);
KALVEX_BODY(ge);
KALVEX_BODY(ne);
KALVEX_BODY(all);
KALVEX_BODY(any);
KALVEX_BODY(where);

// statistics and running values
KALVEX_BODY(norm);
KALVEX_BODY(var);
KALVEX_BODY(std);
KALVEX_BODY(cumsum);
KALVEX_BODY(cumprod);

// indexing, shape and ordering
KALVEX_BODY(gather);
KALVEX_BODY(index_select);
KALVEX_BODY(reshape);
KALVEX_BODY(T);
KALVEX_BODY(sort);
KALVEX_BODY(argsort);
KALVEX_BODY(topk);
KALVEX_BODY(reduce_ex);
KALVEX_BODY(restore);

// linear algebra
KALVEX_BODY(trace);
KALVEX_BODY(det);
KALVEX_BODY(inv);
KALVEX_BODY(solve);

// tensor habits: building and reading elements, subscripts, sizes, devices,
// joins, operator forms and printing
KALVEX_BODY(from_rationals);
KALVEX_BODY(tolist);
KALVEX_BODY(item);
KALVEX_BODY(dunder_float);
KALVEX_BODY(dunder_int);
KALVEX_BODY(dunder_bool);
KALVEX_BODY(getitem);
KALVEX_BODY(len);
KALVEX_BODY(iter);
KALVEX_BODY(dim);
KALVEX_BODY(numel);
KALVEX_BODY(size);
KALVEX_BODY(to);
KALVEX_BODY(cpu);
KALVEX_BODY(cuda);
KALVEX_BODY(cat);
KALVEX_BODY(stack);
KALVEX_BODY(rtruediv);
KALVEX_BODY(pos);
KALVEX_BODY(dunder_lt);
KALVEX_BODY(dunder_le);
KALVEX_BODY(dunder_gt);
KALVEX_BODY(dunder_ge);
KALVEX_BODY(str);

// module functions
KALVEX_BODY(modular_sum);
KALVEX_BODY(modular_dot);
KALVEX_BODY(exp_taylor);
KALVEX_BODY(sin_taylor);
KALVEX_BODY(cos_taylor);
KALVEX_BODY(log1p_taylor);
KALVEX_BODY(sqrt_taylor);
KALVEX_BODY(sqrt_newton);
KALVEX_BODY(modular_abs);
KALVEX_BODY(modular_max);
KALVEX_BODY(modular_min);
KALVEX_BODY(modular_argmax);
KALVEX_BODY(modular_argmin);
KALVEX_BODY(modular_relu);
KALVEX_BODY(modular_var);
KALVEX_BODY(modular_std);
KALVEX_BODY(modular_norm);
KALVEX_BODY(modular_prod);
KALVEX_BODY(modular_pow);
KALVEX_BODY(modular_clamp);
KALVEX_BODY(modular_sign);
KALVEX_BODY(modular_reciprocal);
KALVEX_BODY(modular_square);

#undef KALVEX_BODY

}  // namespace kalvex::py::body
