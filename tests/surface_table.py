"""The public surface, written out member by member: parameters (name,
annotation, default), return annotation and docstring.  Tests compare the
module against this table."""

REQ = object()  # a required parameter
VAR = object()  # a variable-positional parameter (*name)

MT = "'ModularTensor'"  # how methods annotate the class: with its quote marks
TT = "torch.Tensor"


def doc(*lines):
    """A multi-line method docstring: each text line indented by eight spaces."""
    return "\n" + "".join(("        " + line if line else "") + "\n" for line in lines) + "        "


def fdoc(*lines):
    """A multi-line module-function docstring: four spaces."""
    return "\n" + "".join(("    " + line if line else "") + "\n" for line in lines) + "    "


def P(name, annotation=None, default=REQ):
    return (name, annotation, default)


SELF, CLS = P("self"), P("cls")
OTHER = P("other", MT)
DEVICE = P("device", "str", "cuda")


def method(name, params, returns=None, docstring=None, kind="method"):
    first = CLS if kind == "classmethod" else SELF
    return {"name": name, "kind": kind, "params": [first, *params], "returns": returns, "doc": docstring}


CLASS_MEMBERS = [
    method("__init__", [P("num", TT), P("denom", TT), P("primes", TT, None), P("approx", TT, None)], None,
           "\n        Initialize from residue tensors.\n\n        Args:\n"
           "            num: [N_PRIMES, *shape] int64 tensor of numerator residues\n"
           "            denom: [N_PRIMES, *shape] int64 tensor of denominator residues\n"
           "            primes: [N_PRIMES] tensor of primes\n"
           "            approx: [*shape] float tensor for display (optional)\n        "),
    method("shape", [], kind="property"),
    method("from_tensor", [P("x", TT), DEVICE], MT, "Create from float tensor (captures exact float value).",
           kind="classmethod"),
    method("from_fraction", [P("num", "int"), P("denom", "int", 1), P("shape", "Tuple", ()), DEVICE], MT,
           "Create tensor filled with exact fraction num/denom.", kind="classmethod"),
    method("from_int", [P("value", "int"), P("shape", "Tuple", ()), DEVICE], MT,
           "Create tensor filled with exact integer.", kind="classmethod"),
    method("zeros", [P("shape", "Tuple"), DEVICE], MT, "Create zero tensor.", kind="classmethod"),
    method("ones", [P("shape", "Tuple"), DEVICE], MT, "Create ones tensor.", kind="classmethod"),
    method("__add__", [OTHER], MT, "Exact addition: a/b + c/d = (ad + bc) / bd"),
    method("__radd__", [P("other")], MT),
    method("__sub__", [OTHER], MT, "Exact subtraction: a/b - c/d = (ad - bc) / bd"),
    method("__rsub__", [P("other")], MT),
    method("__mul__", [OTHER], MT, "Exact multiplication: (a/b) * (c/d) = ac / bd"),
    method("__rmul__", [P("other")], MT),
    method("__truediv__", [OTHER], MT, "Exact division: (a/b) / (c/d) = ad / bc"),
    method("__neg__", [], MT, "Negation."),
    method("__eq__", [OTHER], TT, "Exact element-wise equality: a/b == c/d iff ad == bc (all primes)."),
    method("sum", [P("dim", "int", None)], None,
           doc("Exact sum using chunked reduction to prevent overflow.",
               "Chunks elements, sums each chunk, simplifies, then combines.", "",
               "Args:", "    dim: Dimension to reduce. None = reduce all dimensions.")),
    method("_sum_dim", [P("dim", "int")], None, "Sum along a specific dimension using parallel tree reduction."),
    method("dot", [OTHER], None, "Exact dot product using parallel reduction."),
    method("matmul", [OTHER], None,
           doc("Exact matrix multiplication using parallel operations.", "C[i,j] = sum_k(A[i,k] * B[k,j])", "",
               "All (i,j) output elements computed in parallel.", "Each dot product uses parallel tree reduction.")),
    method("to_float", [], TT, "Convert to float tensor (lossy, for display only)."),
    method("simplify", [], MT,
           doc("Simplify the fraction by reconstructing from rational form.",
               "Returns a new ModularTensor with minimal residues.", "",
               "This is essential after accumulation to prevent residue overflow.")),
    method("to_rational", [], None,
           doc("Reconstruct the exact rational number using CRT.",
               "Returns (numerator, denominator) as Python integers.", "Only works for scalar tensors.")),
    method("to_decimal", [], None, doc("Convert to Decimal for exact display.", "Only works for scalar tensors.")),
    method("__repr__", [], "str"),
    method("abs", [], MT, doc("Exact absolute value.", "Returns |x| for each element.")),
    method("sign", [], TT, doc("Return sign of each element as a regular tensor.",
                               "Returns -1, 0, or 1 for each element.")),
    method("max", [], MT, doc("Return the maximum element (exact).")),
    method("min", [], MT, doc("Return the minimum element (exact).")),
    method("argmax", [], "int", "Return index of maximum element."),
    method("argmin", [], "int", "Return index of minimum element."),
    method("relu", [], MT, doc("Exact ReLU: max(x, 0).")),
    method("clamp", [P("min_val", "float", None), P("max_val", "float", None)], MT,
           doc("Clamp values to [min_val, max_val] range.", "Uses element selection based on comparison.")),
    method("pow", [P("n", "int")], MT, doc("Exact integer power x^n.", "Uses binary exponentiation for efficiency.")),
    method("square", [], MT, "Exact square x^2."),
    method("norm", [P("p", "int", 2)], MT, doc("Compute Lp norm. For p=2, returns sqrt(sum(x^2)).",
                                               "Note: sqrt is approximated using Newton iteration.")),
    method("var", [P("correction", "int", 1)], MT, doc("Exact variance: sum((x - mean)^2) / (n - correction)",
                                                       "Uses the formula: var = E[x^2] - E[x]^2")),
    method("std", [P("correction", "int", 1)], MT, doc("Exact standard deviation: sqrt(var).",
                                                       "Note: sqrt is approximated using Newton iteration.")),
    method("prod", [], MT, doc("Exact product of all elements.")),
    method("reciprocal", [], MT, "Exact reciprocal 1/x."),
    method("__pow__", [P("n", "int")], MT, "Power operator x ** n."),
    method("cumsum", [P("dim", "int", -1)], MT, doc("Exact cumulative sum along dimension.")),
    method("cumprod", [P("dim", "int", -1)], MT, doc("Exact cumulative product along dimension.")),
    method("lt", [OTHER], TT, "Less than comparison (exact)."),
    method("le", [OTHER], TT, "Less than or equal comparison (exact)."),
    method("gt", [OTHER], TT, "Greater than comparison (exact)."),
    method("ge", [OTHER], TT, "Greater than or equal comparison (exact)."),
    method("ne", [OTHER], TT, "Not equal comparison (exact)."),
    method("all", [], "bool", "Check if all elements are non-zero."),
    method("any", [], "bool", "Check if any element is non-zero."),
    method("where", [P("condition", TT), OTHER], MT,
           doc("Select elements based on condition.", "Returns self where condition is True, other where False.")),
    method("gather", [P("dim", "int"), P("index", TT)], MT, "Gather elements along dimension by index."),
    method("index_select", [P("dim", "int"), P("index", TT)], MT, "Select elements along dimension by index."),
    method("reshape", [P("shape", None, VAR)], MT, "Reshape tensor to new shape."),
    method("transpose", [P("dim0", "int"), P("dim1", "int")], MT, "Transpose two dimensions."),
    method("flatten", [P("start_dim", "int", 0), P("end_dim", "int", -1)], MT, "Flatten dimensions."),
    method("squeeze", [P("dim", "int", None)], MT, "Remove dimensions of size 1."),
    method("unsqueeze", [P("dim", "int")], MT, "Add dimension of size 1."),
    method("T", [], MT, "Transpose (swap last two dimensions for 2D+).", kind="property"),
    method("trace", [], MT, "Exact trace of a matrix (sum of diagonal)."),
    method("det", [], MT, doc("Exact determinant using LU decomposition / cofactor expansion.",
                              "Only for small matrices (n <= 4) due to complexity.")),
    method("inv", [], MT, doc("Exact matrix inverse using adjugate method.", "inv(A) = adj(A) / det(A)",
                              "Only for small matrices (n <= 4).")),
    method("solve", [P("b", MT)], MT, doc("Solve linear system Ax = b exactly.", "Uses Cramer's rule for small systems.")),
    method("sort", [P("dim", "int", -1), P("descending", "bool", False)], None,
           doc("Sort elements along dimension.", "Returns (sorted_tensor, indices).")),
    method("argsort", [P("dim", "int", -1), P("descending", "bool", False)], TT,
           "Return indices that would sort the tensor."),
    method("topk", [P("k", "int"), P("dim", "int", -1), P("largest", "bool", True)], None,
           doc("Return top k elements and their indices.")),
]

C = "ModularTensor"  # module functions annotate the class bare
X = P("x", C)
A = P("a", C)


def function(name, params, returns, docstring):
    return {"name": name, "kind": "function", "params": params, "returns": returns, "doc": docstring}


def series_doc(title, formula, domain, arg, shape_note, extra=None):
    lines = [title, formula, ""]
    if extra:
        lines += [extra, ""]
    lines += ["Args:", f"    {arg}: Input ModularTensor ({shape_note})", "    terms: Number of Taylor terms", "",
              "Returns:", f"    ModularTensor approximating {domain} (same shape as input)"]
    return fdoc(*lines)


MODULE_FUNCTIONS = [
    function("modular_sum", [P("x", TT)], C, "Exact sum of tensor elements."),
    function("modular_dot", [P("a", TT), P("b", TT)], C, "Exact dot product."),
    function("exp_taylor", [X, P("terms", "int", 20)], C,
             series_doc("Compute e^x using Taylor series with exact coefficients.",
                        "e^x = 1 + x + x^2/2! + x^3/3! + ...", "e^x", "x", "any shape")),
    function("sin_taylor", [X, P("terms", "int", 20)], C,
             series_doc("Compute sin(x) using Taylor series.", "sin(x) = x - x^3/3! + x^5/5! - ...", "sin(x)", "x",
                        "any shape, in radians")),
    function("cos_taylor", [X, P("terms", "int", 20)], C,
             series_doc("Compute cos(x) using Taylor series.", "cos(x) = 1 - x^2/2! + x^4/4! - ...", "cos(x)", "x",
                        "any shape, in radians")),
    function("log1p_taylor", [X, P("terms", "int", 30)], C,
             series_doc("Compute log(1+x) using Taylor series.", "log(1+x) = x - x^2/2 + x^3/3 - x^4/4 + ...",
                        "log(1+x)", "x", "any shape, |x| < 1", extra="Converges for |x| < 1.")),
    function("sqrt_taylor", [A, P("terms", "int", 30)], C,
             series_doc("Compute sqrt(a) using binomial series around a=1.",
                        "sqrt(1+x) = 1 + x/2 - x^2/8 + x^3/16 - ...", "sqrt(a)", "a", "any shape, 0 < a < 2",
                        extra="Only works for a close to 1 (|a-1| < 1).")),
    function("sqrt_newton", [A, P("max_iterations", "int", 10), P("max_bits", "int", 500)], C,
             fdoc("Compute sqrt(a) using Newton-Raphson iteration.", "x_{n+1} = (x_n + a/x_n) / 2", "",
                  "Works for any positive value and any shape.", "", "Args:",
                  "    a: Input ModularTensor (any shape, a > 0)", "    max_iterations: Maximum number of iterations",
                  "    max_bits: Maximum bit size before stopping (prevents overflow)", "", "Returns:",
                  "    ModularTensor approximating sqrt(a) (same shape as input)")),
    function("modular_abs", [X], C, "Exact absolute value."),
    function("modular_max", [X], C, "Exact maximum element."),
    function("modular_min", [X], C, "Exact minimum element."),
    function("modular_argmax", [X], "int", "Index of maximum element."),
    function("modular_argmin", [X], "int", "Index of minimum element."),
    function("modular_relu", [X], C, "Exact ReLU: max(x, 0)."),
    function("modular_var", [X, P("correction", "int", 1)], C, "Exact variance."),
    function("modular_std", [X, P("correction", "int", 1)], C, "Standard deviation (sqrt is approximated)."),
    function("modular_norm", [X, P("p", "int", 2)], C, "Lp norm (sqrt is approximated for L2)."),
    function("modular_prod", [X], C, "Exact product of all elements."),
    function("modular_pow", [X, P("n", "int")], C, "Exact integer power."),
    function("modular_clamp", [X, P("min_val", "float", None), P("max_val", "float", None)], C,
             "Clamp values to range."),
    function("modular_sign", [X], TT, "Sign of each element (-1, 0, 1)."),
    function("modular_reciprocal", [X], C, "Exact reciprocal 1/x."),
    function("modular_square", [X], C, "Exact square x^2."),
]

ALL = [
    "PRIMES", "N_PRIMES", "ModularTensor", "modular_sum", "modular_dot", "modular_abs", "modular_max",
    "modular_min", "modular_argmax", "modular_argmin", "modular_relu", "modular_clamp", "modular_var",
    "modular_std", "modular_norm", "modular_prod", "modular_pow", "modular_sign", "modular_reciprocal",
    "modular_square", "exp_taylor", "sin_taylor", "cos_taylor", "log1p_taylor", "sqrt_taylor", "sqrt_newton",
]
