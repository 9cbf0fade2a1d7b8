#include "binding/members.h"

#include "binding/adapter.h"
#include "binding/bodies.h"
#include "core/kernels/residue_ops.h"
#include "core/map.h"
#include "elementwise/statistics.h"
#include "reduce/matmul.h"
#include "reduce/sum.h"
#include "shape/views.h"

namespace kalvex::py {

namespace {

// Annotation strings.  Methods name the class in quotes, module functions bare.
constexpr const char* kSelfType = "'ModularTensor'";
constexpr const char* kClass = "ModularTensor";
constexpr const char* kTensor = "torch.Tensor";
constexpr const char* kInt = "int";
constexpr const char* kFloat = "float";
constexpr const char* kStr = "str";
constexpr const char* kTuple = "Tuple";
constexpr const char* kBool = "bool";

const Param self{"self"};
const Param cls{"cls"};
const Param other{"other", kSelfType};
const Param device{"device", kStr, Check::Str, string("cuda")};
const Param shape_param{"shape", kTuple, Check::Tuple, empty_tuple()};
const Param shape_required{"shape", kTuple, Check::Tuple};

Param int_param(const char* name, Default d = required()) { return {name, kInt, Check::Int, d}; }

}  // namespace

const char* const kClassDoc =
    "\n    GPU tensor with exact modular arithmetic.\n\n"
    "    Each element is stored as (num_residues, denom_residues) across N primes.\n"
    "    Shape: [N_PRIMES, *original_shape] for both num and denom.\n\n"
    "    All operations are element-wise and fully parallel.\n    ";

const char* const kModuleDoc =
    "\nExact rational tensors on residues modulo 20 primes.\n\n"
    "Native CUDA implementation of exact rational arithmetic using\n"
    "modular representation. Each value is stored as residues mod\n"
    "multiple primes, enabling exact arithmetic with O(1) memory.\n\n"
    "All operations are fully parallel on GPU.\n";

const std::vector<FunctionDef>& class_members() {
  static const std::vector<FunctionDef> members = {
      {"__init__", Kind::Method,
       {self, {"num", kTensor}, {"denom", kTensor}, {"primes", kTensor, Check::None, none()},
        {"approx", kTensor, Check::None, none()}},
       nullptr,
       "\n        Initialize from residue tensors.\n\n        Args:\n"
       "            num: [N_PRIMES, *shape] int64 tensor of numerator residues\n"
       "            denom: [N_PRIMES, *shape] int64 tensor of denominator residues\n"
       "            primes: [N_PRIMES] tensor of primes\n"
       "            approx: [*shape] float tensor for display (optional)\n        ",
       body::init},
      {"shape", Kind::Property, {self}, nullptr, nullptr, body::shape},
      {"from_tensor", Kind::ClassMethod, {cls, {"x", kTensor}, device}, kSelfType,
       "Create from float tensor (captures exact float value).", body::from_tensor},
      {"from_fraction", Kind::ClassMethod,
       {cls, int_param("num"), int_param("denom", integer(1)), shape_param, device}, kSelfType,
       "Create tensor filled with exact fraction num/denom.", body::from_fraction},
      {"from_int", Kind::ClassMethod, {cls, int_param("value"), shape_param, device}, kSelfType,
       "Create tensor filled with exact integer.", body::from_int},
      {"zeros", Kind::ClassMethod, {cls, shape_required, device}, kSelfType, "Create zero tensor.", body::zeros},
      {"ones", Kind::ClassMethod, {cls, shape_required, device}, kSelfType, "Create ones tensor.", body::ones},
      {"__add__", Kind::Method, {self, other}, kSelfType, "Exact addition: a/b + c/d = (ad + bc) / bd", body::add},
      {"__radd__", Kind::Method, {self, {"other"}}, kSelfType, nullptr, body::radd},
      {"__sub__", Kind::Method, {self, other}, kSelfType, "Exact subtraction: a/b - c/d = (ad - bc) / bd", body::sub},
      {"__rsub__", Kind::Method, {self, {"other"}}, kSelfType, nullptr, body::rsub},
      {"__mul__", Kind::Method, {self, other}, kSelfType, "Exact multiplication: (a/b) * (c/d) = ac / bd",
       body::mul},
      {"__rmul__", Kind::Method, {self, {"other"}}, kSelfType, nullptr, body::rmul},
      {"__truediv__", Kind::Method, {self, other}, kSelfType, "Exact division: (a/b) / (c/d) = ad / bc",
       body::truediv},
      {"__neg__", Kind::Method, {self}, kSelfType, "Negation.", 
       member<map<NegOp>, Field::Primes, Field::Num, Field::Approx, Field::Denom>},
      {"__eq__", Kind::Method, {self, other}, kTensor,
       "Exact element-wise equality: a/b == c/d iff ad == bc (all primes).", body::eq},
      {"sum", Kind::Method, {self, {"dim", kInt, Check::IntOrNone, none()}}, nullptr,
       "\n        Exact sum using chunked reduction to prevent overflow.\n"
       "        Chunks elements, sums each chunk, simplifies, then combines.\n\n"
       "        Args:\n            dim: Dimension to reduce. None = reduce all dimensions.\n        ",
       body::sum},
      {"_sum_dim", Kind::Method, {self, int_param("dim")}, nullptr,
       "Sum along a specific dimension using parallel tree reduction.", member<kalvex::sum_dim>},
      {"dot", Kind::Method, {self, other}, nullptr, "Exact dot product using parallel reduction.", body::dot},
      {"matmul", Kind::Method, {self, other}, nullptr,
       "\n        Exact matrix multiplication using parallel operations.\n"
       "        C[i,j] = sum_k(A[i,k] * B[k,j])\n\n"
       "        All (i,j) output elements computed in parallel.\n"
       "        Each dot product uses parallel tree reduction.\n        ",
       member<kalvex::matmul>},
      {"to_float", Kind::Method, {self}, kTensor, "Convert to float tensor (lossy, for display only).",
       body::to_float},
      {"simplify", Kind::Method, {self}, kSelfType,
       "\n        Simplify the fraction by reconstructing from rational form.\n"
       "        Returns a new ModularTensor with minimal residues.\n\n"
       "        This is essential after accumulation to prevent residue overflow.\n        ",
       body::simplify},
      {"to_rational", Kind::Method, {self}, nullptr,
       "\n        Reconstruct the exact rational number using CRT.\n"
       "        Returns (numerator, denominator) as Python integers.\n"
       "        Only works for scalar tensors.\n        ",
       body::to_rational},
      {"to_decimal", Kind::Method, {self}, nullptr,
       "\n        Convert to Decimal for exact display.\n        Only works for scalar tensors.\n        ",
       body::to_decimal},
      {"__repr__", Kind::Method, {self}, kStr, nullptr, body::repr},
      {"abs", Kind::Method, {self}, kSelfType,
       "\n        Exact absolute value.\n        Returns |x| for each element.\n        ", body::abs},
      {"sign", Kind::Method, {self}, kTensor,
       "\n        Return sign of each element as a regular tensor.\n"
       "        Returns -1, 0, or 1 for each element.\n        ",
       body::sign},
      {"max", Kind::Method, {self}, kSelfType, "\n        Return the maximum element (exact).\n        ", body::max},
      {"min", Kind::Method, {self}, kSelfType, "\n        Return the minimum element (exact).\n        ", body::min},
      {"argmax", Kind::Method, {self}, kInt, "Return index of maximum element.", body::argmax},
      {"argmin", Kind::Method, {self}, kInt, "Return index of minimum element.", body::argmin},
      {"relu", Kind::Method, {self}, kSelfType, "\n        Exact ReLU: max(x, 0).\n        ", body::relu},
      {"clamp", Kind::Method,
       {self, {"min_val", kFloat, Check::FloatOrNone, none()}, {"max_val", kFloat, Check::FloatOrNone, none()}},
       kSelfType,
       "\n        Clamp values to [min_val, max_val] range.\n"
       "        Uses element selection based on comparison.\n        ",
       body::clamp},
      {"pow", Kind::Method, {self, int_param("n")}, kSelfType,
       "\n        Exact integer power x^n.\n        Uses binary exponentiation for efficiency.\n        ", body::pow},
      {"square", Kind::Method, {self}, kSelfType, "Exact square x^2.", body::square},
      {"norm", Kind::Method, {self, int_param("p", integer(2))}, kSelfType,
       "\n        Compute Lp norm. For p=2, returns sqrt(sum(x^2)).\n"
       "        Note: sqrt is approximated using Newton iteration.\n        ",
       body::norm},
      {"var", Kind::Method, {self, int_param("correction", integer(1))}, kSelfType,
       "\n        Exact variance: sum((x - mean)^2) / (n - correction)\n"
       "        Uses the formula: var = E[x^2] - E[x]^2\n        ",
       body::var},
      {"std", Kind::Method, {self, int_param("correction", integer(1))}, kSelfType,
       "\n        Exact standard deviation: sqrt(var).\n"
       "        Note: sqrt is approximated using Newton iteration.\n        ",
       body::std},
      {"prod", Kind::Method, {self}, kSelfType, "\n        Exact product of all elements.\n        ", member<kalvex::product>},
      {"reciprocal", Kind::Method, {self}, kSelfType, "Exact reciprocal 1/x.", body::reciprocal},
      {"__pow__", Kind::Method, {self, int_param("n")}, kSelfType, "Power operator x ** n.", body::dunder_pow},
      {"cumsum", Kind::Method, {self, int_param("dim", integer(-1))}, kSelfType,
       "\n        Exact cumulative sum along dimension.\n        ", body::cumsum},
      {"cumprod", Kind::Method, {self, int_param("dim", integer(-1))}, kSelfType,
       "\n        Exact cumulative product along dimension.\n        ", body::cumprod},
      {"lt", Kind::Method, {self, other}, kTensor, "Less than comparison (exact).", body::lt},
      {"le", Kind::Method, {self, other}, kTensor, "Less than or equal comparison (exact).", body::le},
      {"gt", Kind::Method, {self, other}, kTensor, "Greater than comparison (exact).", body::gt},
      {"ge", Kind::Method, {self, other}, kTensor, "Greater than or equal comparison (exact).", body::ge},
      {"ne", Kind::Method, {self, other}, kTensor, "Not equal comparison (exact).", body::ne},
      {"all", Kind::Method, {self}, kBool, "Check if all elements are non-zero.", body::all},
      {"any", Kind::Method, {self}, kBool, "Check if any element is non-zero.", body::any},
      {"where", Kind::Method, {self, {"condition", kTensor}, other}, kSelfType,
       "\n        Select elements based on condition.\n"
       "        Returns self where condition is True, other where False.\n        ",
       body::where},
      {"gather", Kind::Method, {self, int_param("dim"), {"index", kTensor}}, kSelfType,
       "Gather elements along dimension by index.", body::gather},
      {"index_select", Kind::Method, {self, int_param("dim"), {"index", kTensor}}, kSelfType,
       "Select elements along dimension by index.", body::index_select},
      {"reshape", Kind::Method, {self}, kSelfType, "Reshape tensor to new shape.", body::reshape, "shape"},
      {"transpose", Kind::Method, {self, int_param("dim0"), int_param("dim1")}, kSelfType,
       "Transpose two dimensions.", member<kalvex::transpose>},
      {"flatten", Kind::Method, {self, int_param("start_dim", integer(0)), int_param("end_dim", integer(-1))},
       kSelfType, "Flatten dimensions.", member<kalvex::flatten>},
      {"squeeze", Kind::Method, {self, {"dim", kInt, Check::IntOrNone, none()}}, kSelfType,
       "Remove dimensions of size 1.", member<kalvex::squeeze>},
      {"unsqueeze", Kind::Method, {self, int_param("dim")}, kSelfType, "Add dimension of size 1.", member<kalvex::unsqueeze>},
      {"T", Kind::Property, {self}, kSelfType, "Transpose (swap last two dimensions for 2D+).", body::T},
      {"trace", Kind::Method, {self}, kSelfType, "Exact trace of a matrix (sum of diagonal).", body::trace},
      {"det", Kind::Method, {self}, kSelfType,
       "\n        Exact determinant using LU decomposition / cofactor expansion.\n"
       "        Only for small matrices (n <= 4) due to complexity.\n        ",
       body::det},
      {"inv", Kind::Method, {self}, kSelfType,
       "\n        Exact matrix inverse using adjugate method.\n        inv(A) = adj(A) / det(A)\n"
       "        Only for small matrices (n <= 4).\n        ",
       body::inv},
      {"solve", Kind::Method, {self, {"b", kSelfType}}, kSelfType,
       "\n        Solve linear system Ax = b exactly.\n        Uses Cramer's rule for small systems.\n        ",
       body::solve},
      {"sort", Kind::Method, {self, int_param("dim", integer(-1)), {"descending", kBool, Check::None, boolean(false)}},
       nullptr, "\n        Sort elements along dimension.\n        Returns (sorted_tensor, indices).\n        ",
       body::sort},
      {"argsort", Kind::Method,
       {self, int_param("dim", integer(-1)), {"descending", kBool, Check::None, boolean(false)}}, kTensor,
       "Return indices that would sort the tensor.", body::argsort},
      {"topk", Kind::Method,
       {self, int_param("k"), int_param("dim", integer(-1)), {"largest", kBool, Check::None, boolean(true)}},
       nullptr, "\n        Return top k elements and their indices.\n        ", body::topk},
      {"contiguous", Kind::Method, {self}, kSelfType,
       "The same values with contiguous residues and approximation (self when they already are).",
       member<kalvex::contiguous>},
      {"clone", Kind::Method, {self}, kSelfType, "A copy of the values in storage of its own.", member<kalvex::clone>},
      {"__reduce_ex__", Kind::Method, {self, int_param("protocol")}, nullptr,
       "Pickling: the residues together with the sizes of their integers.", body::reduce_ex},
      {"_restore", Kind::ClassMethod,
       {cls, {"num", kTensor}, {"denom", kTensor}, {"primes", kTensor}, {"approx"}, {"bounds", kTuple, Check::Tuple}},
       kSelfType, "A pickled instance rebuilt, with the sizes of its integers.", body::restore},
      {"from_rationals", Kind::ClassMethod, {cls, {"data"}, device}, kSelfType,
       "Create from nested lists of ints and fractions (any numbers.Rational), each element exact.",
       body::from_rationals},
      {"tolist", Kind::Method, {self}, nullptr,
       "The exact values as nested lists of fractions.Fraction in lowest terms (a Fraction for shape ()).",
       body::tolist},
      {"item", Kind::Method, {self}, nullptr, "The exact value of a one-element tensor as a fractions.Fraction.",
       body::item},
      {"__float__", Kind::Method, {self}, kFloat, "The exact value of one element, rounded to the nearest float.",
       body::dunder_float},
      {"__int__", Kind::Method, {self}, kInt, "The exact value of one element, truncated toward zero.",
       body::dunder_int},
      {"__bool__", Kind::Method, {self}, kBool, "Whether the one element is non-zero.", body::dunder_bool},
      {"__getitem__", Kind::Method, {self, {"key"}}, kSelfType,
       "Elements chosen as torch indexes a tensor (views wherever torch gives views).", body::getitem},
      {"__len__", Kind::Method, {self}, kInt, "The size of the first axis.", body::len},
      {"__iter__", Kind::Method, {self}, nullptr, "The sub-tensors along the first axis.", body::iter},
      {"dim", Kind::Method, {self}, kInt, "The number of axes.", body::dim},
      {"ndim", Kind::Property, {self}, kInt, "The number of axes.", body::dim},
      {"numel", Kind::Method, {self}, kInt, "The number of elements.", body::numel},
      {"size", Kind::Method, {self, {"dim", kInt, Check::IntOrNone, none()}}, nullptr,
       "The shape, or the size of one axis.", body::size},
      {"to", Kind::Method, {self, {"device"}}, kSelfType,
       "The same values on `device` (self when they are there already).", body::to},
      {"cpu", Kind::Method, {self}, kSelfType, "The same values on the CPU.", body::cpu},
      {"cuda", Kind::Method, {self, {"device", nullptr, Check::None, none()}}, kSelfType,
       "The same values on a CUDA device.", body::cuda},
      {"cat", Kind::ClassMethod, {cls, {"tensors"}, int_param("dim", integer(0))}, kSelfType,
       "Join tensors along an existing axis, as torch.cat does.", body::cat},
      {"stack", Kind::ClassMethod, {cls, {"tensors"}, int_param("dim", integer(0))}, kSelfType,
       "Join tensors along a new axis, as torch.stack does.", body::stack},
      {"__ne__", Kind::Method, {self, {"other"}}, kTensor, "Exact element-wise inequality.", body::ne},
      {"__lt__", Kind::Method, {self, {"other"}}, kTensor, "Less than (exact).", body::dunder_lt},
      {"__le__", Kind::Method, {self, {"other"}}, kTensor, "Less than or equal (exact).", body::dunder_le},
      {"__gt__", Kind::Method, {self, {"other"}}, kTensor, "Greater than (exact).", body::dunder_gt},
      {"__ge__", Kind::Method, {self, {"other"}}, kTensor, "Greater than or equal (exact).", body::dunder_ge},
      {"__matmul__", Kind::Method, {self, other}, kSelfType, "Matrix product operator a @ b.", member<kalvex::matmul>},
      {"__rtruediv__", Kind::Method, {self, {"other"}}, kSelfType, "Exact division of a number by each element.",
       body::rtruediv},
      {"__pos__", Kind::Method, {self}, kSelfType, "The same values.", body::pos},
      {"__abs__", Kind::Method, {self}, kSelfType, "Exact absolute value.", body::abs},
      {"__str__", Kind::Method, {self}, kStr, "The values, exact where they can be read.", body::str},
  };
  return members;
}

const std::vector<FunctionDef>& module_functions() {
  const Param x{"x", kClass};
  const Param a{"a", kClass};
  static const std::vector<FunctionDef> functions = {
      {"modular_sum", Kind::Function, {{"x", kTensor}}, kClass, "Exact sum of tensor elements.", body::modular_sum},
      {"modular_dot", Kind::Function, {{"a", kTensor}, {"b", kTensor}}, kClass, "Exact dot product.",
       body::modular_dot},
      {"exp_taylor", Kind::Function, {x, int_param("terms", integer(20))}, kClass,
       "\n    Compute e^x using Taylor series with exact coefficients.\n"
       "    e^x = 1 + x + x^2/2! + x^3/3! + ...\n\n    Args:\n"
       "        x: Input ModularTensor (any shape)\n        terms: Number of Taylor terms\n\n"
       "    Returns:\n        ModularTensor approximating e^x (same shape as input)\n    ",
       body::exp_taylor},
      {"sin_taylor", Kind::Function, {x, int_param("terms", integer(20))}, kClass,
       "\n    Compute sin(x) using Taylor series.\n    sin(x) = x - x^3/3! + x^5/5! - ...\n\n    Args:\n"
       "        x: Input ModularTensor (any shape, in radians)\n        terms: Number of Taylor terms\n\n"
       "    Returns:\n        ModularTensor approximating sin(x) (same shape as input)\n    ",
       body::sin_taylor},
      {"cos_taylor", Kind::Function, {x, int_param("terms", integer(20))}, kClass,
       "\n    Compute cos(x) using Taylor series.\n    cos(x) = 1 - x^2/2! + x^4/4! - ...\n\n    Args:\n"
       "        x: Input ModularTensor (any shape, in radians)\n        terms: Number of Taylor terms\n\n"
       "    Returns:\n        ModularTensor approximating cos(x) (same shape as input)\n    ",
       body::cos_taylor},
      {"log1p_taylor", Kind::Function, {x, int_param("terms", integer(30))}, kClass,
       "\n    Compute log(1+x) using Taylor series.\n    log(1+x) = x - x^2/2 + x^3/3 - x^4/4 + ...\n\n"
       "    Converges for |x| < 1.\n\n    Args:\n        x: Input ModularTensor (any shape, |x| < 1)\n"
       "        terms: Number of Taylor terms\n\n    Returns:\n"
       "        ModularTensor approximating log(1+x) (same shape as input)\n    ",
       body::log1p_taylor},
      {"sqrt_taylor", Kind::Function, {a, int_param("terms", integer(30))}, kClass,
       "\n    Compute sqrt(a) using binomial series around a=1.\n"
       "    sqrt(1+x) = 1 + x/2 - x^2/8 + x^3/16 - ...\n\n    Only works for a close to 1 (|a-1| < 1).\n\n"
       "    Args:\n        a: Input ModularTensor (any shape, 0 < a < 2)\n        terms: Number of Taylor terms\n\n"
       "    Returns:\n        ModularTensor approximating sqrt(a) (same shape as input)\n    ",
       body::sqrt_taylor},
      {"sqrt_newton", Kind::Function,
       {a, int_param("max_iterations", integer(10)), int_param("max_bits", integer(500))}, kClass,
       "\n    Compute sqrt(a) using Newton-Raphson iteration.\n    x_{n+1} = (x_n + a/x_n) / 2\n\n"
       "    Works for any positive value and any shape.\n\n    Args:\n"
       "        a: Input ModularTensor (any shape, a > 0)\n        max_iterations: Maximum number of iterations\n"
       "        max_bits: Maximum bit size before stopping (prevents overflow)\n\n    Returns:\n"
       "        ModularTensor approximating sqrt(a) (same shape as input)\n    ",
       body::sqrt_newton},
      {"modular_abs", Kind::Function, {x}, kClass, "Exact absolute value.", body::modular_abs},
      {"modular_max", Kind::Function, {x}, kClass, "Exact maximum element.", body::modular_max},
      {"modular_min", Kind::Function, {x}, kClass, "Exact minimum element.", body::modular_min},
      {"modular_argmax", Kind::Function, {x}, kInt, "Index of maximum element.", body::modular_argmax},
      {"modular_argmin", Kind::Function, {x}, kInt, "Index of minimum element.", body::modular_argmin},
      {"modular_relu", Kind::Function, {x}, kClass, "Exact ReLU: max(x, 0).", body::modular_relu},
      {"modular_var", Kind::Function, {x, int_param("correction", integer(1))}, kClass, "Exact variance.",
       body::modular_var},
      {"modular_std", Kind::Function, {x, int_param("correction", integer(1))}, kClass,
       "Standard deviation (sqrt is approximated).", body::modular_std},
      {"modular_norm", Kind::Function, {x, int_param("p", integer(2))}, kClass,
       "Lp norm (sqrt is approximated for L2).", body::modular_norm},
      {"modular_prod", Kind::Function, {x}, kClass, "Exact product of all elements.", body::modular_prod},
      {"modular_pow", Kind::Function, {x, int_param("n")}, kClass, "Exact integer power.", body::modular_pow},
      {"modular_clamp", Kind::Function,
       {x, {"min_val", kFloat, Check::FloatOrNone, none()}, {"max_val", kFloat, Check::FloatOrNone, none()}},
       kClass, "Clamp values to range.", body::modular_clamp},
      {"modular_sign", Kind::Function, {x}, kTensor, "Sign of each element (-1, 0, 1).", body::modular_sign},
      {"modular_reciprocal", Kind::Function, {x}, kClass, "Exact reciprocal 1/x.", body::modular_reciprocal},
      {"modular_square", Kind::Function, {x}, kClass, "Exact square x^2.", body::modular_square},
  };
  return functions;
}

}  // namespace kalvex::py
