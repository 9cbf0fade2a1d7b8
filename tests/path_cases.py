"""Operations whose results must not depend on the code path, run on the host
paths and on the generic paths (KALVEX_GENERIC_PATHS); test_generic_paths.py
compares every residue, approximation and error bit for bit.  The groups cover
where the paths part: construction, the arithmetic launcher, sums, dot,
matmul, running values, statistics, picks along an axis, linear algebra and
series.  As a script: writes the normalised results to argv[1], on device argv[2],
as a pickle of plain data {"torch": version, "cases": {name: result}}, which
any torch reads back (test_generic_paths.py compares them across torches too).
"""
import pickle
import sys

import torch

from varnix.orvo.kalvex import ModularTensor as MT
import varnix.orvo.kalvex as kx

SPECIAL = [0.0, -0.0, 0.5, -0.75, 1 / 3, 2047.9999999999998, -2047.5, 2048.0, -4096.0, 1e300, -1e300,
           1.7976931348623157e308, 5e-324, -(2.0**-52), 2.0**-53, 3.4e38, -2.0**100 - 2.0**48]
NOT_FINITE = [1.0, float("nan"), float("inf"), -float("inf")]


def floats(n, seed, scale=1.0):
    gen = torch.Generator().manual_seed(seed)
    return torch.randn(n, dtype=torch.float64, generator=gen) * scale


def mixed(shape, seed, device):
    """Fractions with unrelated denominators, so no two elements share one."""
    gen = torch.Generator().manual_seed(seed)
    num = torch.randint(-1000, 1000, shape, generator=gen)
    den = torch.randint(1, 1000, shape, generator=gen)
    primes = kx.PRIMES.view(-1, *([1] * len(shape)))
    return MT((num.unsqueeze(0) % primes).to(device), (den.unsqueeze(0) % primes).to(device), None,
              (num / den).float().to(device))


def captured(values, device):
    return MT.from_tensor(values.to(device), device)


# The cases that end in an error, which must be the same error on both paths.
REFUSED = {"from_tensor float64 not finite", "from_tensor float32 not finite", "from_fraction zero denominator",
           "matmul mismatch", "gather out of range", "index_select out of range",
           "scalar gather out of range"}
# Two indices into a shape-() tensor: torch 1.13's index_select gives the one value (shape ()), torch 2's
# refuses; the one case whose outcome depends on the torch.
TORCH_DEPENDENT = {"scalar index_select"}
if int(torch.__version__.split(".")[0]) >= 2:
    REFUSED |= TORCH_DEPENDENT
# The cases whose approximation is torch's float32 matmul of the operands' approximations, which
# torch 1.13 (Debian's, reference BLAS) and torch 2 (pip's, MKL) round differently in the last bits.
ROUNDED_BY_TORCH = {"matmul", "matmul over shared denominators"}


def cases(device):
    """{name: a call giving the results to compare}, by group."""
    x, y = mixed((3, 4), 10, device), mixed((3, 4), 11, device)
    row, col = mixed((1, 4), 12, device), mixed((3, 1), 13, device)
    big_x, big_y = captured(floats(5000, 14), device), captured(floats(5000, 15), device)
    strided = mixed((6, 8), 16, device)
    every_other = MT(strided.num[:, ::2, ::2], strided.denom[:, ::2, ::2], None, strided._approx[::2, ::2])
    shared, unrelated, matrix = captured(floats(3000, 20), device), mixed((300,), 21, device), mixed((5, 7), 22, device)
    wide = mixed((4, 6), 30, device)
    index = torch.tensor([[0, 5, 1], [2, 2, 2], [5, 4, 3], [1, 0, 0]]).to(device)
    a, b, two = mixed((4, 4), 40, device), mixed((4,), 42, device), mixed((2, 2), 43, device)
    floats_matrix = captured(floats(9, 41).view(3, 3), device)
    singular = MT.from_tensor(torch.tensor([[1.0, 2.0], [2.0, 4.0]], dtype=torch.float64), device)
    one, many = MT.from_fraction(1, 3, (), device), captured(floats(6, 50, 0.3), device)
    return {
        # construction: capture and filled constants
        "from_tensor float64 specials": lambda: captured(torch.tensor(SPECIAL, dtype=torch.float64), device),
        "from_tensor float32 specials": lambda: captured(
            torch.tensor([v for v in SPECIAL if abs(v) < 3.4e38], dtype=torch.float32), device),
        "from_tensor float64 not finite": lambda: captured(torch.tensor(NOT_FINITE, dtype=torch.float64), device),
        "from_tensor float32 not finite": lambda: captured(torch.tensor(NOT_FINITE, dtype=torch.float32), device),
        "from_tensor float16": lambda: captured(floats(33, 1).half(), device),
        "from_tensor bfloat16": lambda: captured(floats(33, 2).bfloat16(), device),
        "from_tensor int64 of any size": lambda: captured(torch.tensor([0, 1, -1, 2**11, 2**12 + 3, -(2**62), 2**63 - 1]),
                                                       device),
        "from_tensor bool and uint8": lambda: (captured(torch.tensor([True, False]), device),
                                               captured(torch.tensor([0, 200, 255], dtype=torch.uint8), device)),
        "from_tensor strided 3-d": lambda: captured(floats(120, 3, 100).view(4, 5, 6).transpose(0, 2), device),
        "from_tensor 20000 elements": lambda: captured(floats(20000, 4, 1000), device),
        "from_fraction and shorthands": lambda: (MT.from_fraction(-7, 3, (2, 3), device),
                                                 MT.from_fraction(10**400, -(3**500), (2,), device),
                                                 MT.from_int(2**70, (), device), MT.zeros((0, 3), device),
                                                 MT.ones((4,), device)),
        "from_fraction zero denominator": lambda: MT.from_fraction(1, 0, (2,), device),
        # the arithmetic launcher
        "+ - * / rows": lambda: (x + y, x - y, x * y, x / y),
        "+ - * / broadcast": lambda: (row + col, col - row, row * x, x / col),
        "+ - * / strided": lambda: (every_other + x, x - every_other, every_other * every_other, x / every_other),
        "+ - * / transposed": lambda: (x.T + mixed((4, 3), 17, device), x.T * mixed((4, 3), 17, device)),
        "+ - * / past the small-approximation size": lambda: (big_x + big_y, big_x / big_y),
        "numbers": lambda: (x + 3, 2 - x, x * -5, x / 7, -x),
        "== and comparisons": lambda: (x == y, x == x, row == col, x.lt(y), x.le(x), x.gt(y), x.ge(y), x.ne(y)),
        "division by an exact zero": lambda: x / MT.zeros((3, 4), device),
        "sign family": lambda: (x.abs(), x.sign(), x.relu(), x.clamp(-0.25, 0.5), x.where(x._approx > 0, y)),
        "extremes": lambda: (x.max(), x.min(), x.argmax(), x.argmin(), x.all(), x.any()),
        "powers": lambda: (x.pow(3), x.square(), x.reciprocal(), (x * 0).reciprocal(), x.pow(0), x.pow(-2)),
        # reductions
        "sum shared denominators": lambda: (shared.sum(), captured(floats(2, 23), device).sum()),
        "sum unrelated denominators": lambda: (unrelated.sum(), mixed((70,), 24, device).sum()),
        "sum beyond the read-back range": lambda: mixed((4000,), 25, device).sum(),
        "sum with a zero denominator": lambda: (mixed((70,), 5, device) / captured(
            torch.tensor([0.0] + [1.0] * 69, dtype=torch.float64), device)).sum(),
        "sum over dims": lambda: (matrix.sum(0), matrix.sum(1), matrix.sum(-1), matrix.T.sum(0)),
        "dot": lambda: (shared.dot(shared), unrelated.dot(unrelated), shared.dot(captured(floats(3000, 28), device))),
        "matmul": lambda: (matrix.matmul(matrix.T), matrix.T.matmul(matrix), matrix.matmul(MT.zeros((7, 0), device))),
        "matmul over shared denominators": lambda: (
            floats_matrix.matmul(captured(floats(12, 46).view(3, 4), device)),
            captured(floats(12, 46).view(4, 3), device).matmul(floats_matrix),
            floats_matrix.matmul(mixed((3, 4), 47, device))),
        "sums along each axis of 3-d": lambda: tuple(mixed((3, 4, 5), 48, device).sum(d) for d in range(3)),
        "matmul mismatch": lambda: matrix.matmul(matrix),
        "prod": lambda: (unrelated.prod(), shared.prod(), mixed((3, 3), 26, device).prod()),
        "cumsum and cumprod": lambda: (shared.cumsum(), unrelated.cumsum(), unrelated.cumprod(),
                                       captured(floats(700, 27), device).cumprod()),
        "statistics": lambda: (unrelated.var(), unrelated.std(), shared.var(0), unrelated.norm(), shared.norm(1)),
        # picks along an axis and ordering
        "gather and index_select": lambda: (wide.gather(1, index), wide.T.gather(0, index.T[:, :2]),
                                            wide.index_select(1, torch.tensor([5, 0, 0]).to(device))),
        "gather out of range": lambda: wide.gather(1, index + 3),
        "index_select out of range": lambda: wide.index_select(0, torch.tensor([1, 4]).to(device)),
        "scalar gather out of range": lambda: MT.from_int(3, (), device).gather(0, torch.tensor(1).to(device)),
        "scalar index_select": lambda: MT.from_int(3, (), device).index_select(0, torch.tensor([0, 0]).to(device)),
        "sort, argsort, topk": lambda: (wide.sort(), wide.sort(0, True), wide.argsort(), wide.topk(2),
                                        wide.T.topk(3, 0, False)),
        # linear algebra
        "trace and det": lambda: (a.trace(), a.det(), floats_matrix.det(), singular.det()),
        "inv and solve": lambda: (two.inv(), captured(floats(4, 44).view(2, 2), device).inv(), a.solve(b),
                                  floats_matrix.solve(captured(floats(3, 45), device))),
        "inv of a singular matrix": lambda: singular.inv(),
        # series and read-back
        "taylor": lambda: (kx.exp_taylor(one, 8), kx.sin_taylor(many, 5), kx.cos_taylor(many, 5),
                           kx.log1p_taylor(one, 6), kx.sqrt_taylor(MT.from_fraction(5, 4, (), device), 6)),
        "newton": lambda: (kx.sqrt_newton(MT.from_fraction(2, 1, (), device), 4),
                           kx.sqrt_newton(captured(floats(5, 51).abs(), device), 3, 200)),
        "read back": lambda: (many.to_float(), many.simplify(), one.to_rational(), one.to_decimal(),
                              mixed((3,), 52, device).to_float()),
    }


def normalised(value):
    """Plain data that compares bit for bit: tensors on the host, floats as their bits."""
    if isinstance(value, MT):
        return ("ModularTensor", normalised(value.num), normalised(value.denom), normalised(value.primes),
                normalised(value._approx), str(value.device))
    if isinstance(value, torch.Tensor):
        t = value.detach().cpu()
        bits = {torch.float32: torch.int32, torch.float64: torch.int64, torch.float16: torch.int16}.get(t.dtype)
        return ("tensor", str(t.dtype), tuple(t.shape), (t.contiguous().view(bits) if bits else t).tolist())
    if isinstance(value, (tuple, list)):
        return tuple(normalised(v) for v in value)
    if isinstance(value, float):
        return ("float", value.hex())
    return value


def outcome(case):
    try:
        return normalised(case())
    except Exception as error:  # errors must match too
        return ("raises", type(error).__name__, str(error))


if __name__ == "__main__":
    results = {"torch": torch.__version__, "cases": {name: outcome(case) for name, case in cases(sys.argv[2]).items()}}
    with open(sys.argv[1], "wb") as f:
        pickle.dump(results, f)
