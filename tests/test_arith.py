"""Exact element-wise operators: residues against independent computation."""
import functools
import itertools
import random

import pytest
import torch

from support import BASIS, column, literal_binary, residues
from varnix.orvo.kalvex import ModularTensor as MT

OPS = {"+": lambda x, y: x + y, "-": lambda x, y: x - y, "*": lambda x, y: x * y, "/": lambda x, y: x / y}


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def unreduced(op, x, y):
    """(N, D) of x op y as the cross-multiplication formulas give them."""
    (a, b), (c, d) = x, y
    return {"+": (a * d + b * c, b * d), "-": (a * d - b * c, b * d), "*": (a * c, b * d), "/": (a * d, b * c)}[op]


@pytest.mark.parametrize("op", OPS)
def test_residues_of_the_unreduced_formulas(op, device):
    # 70-bit halves of both signs, and p - 1 and p - 2 in every row (products
    # near 2^62, sums near 2^63).
    rng = random.Random(op)
    big = [(rng.randrange(-(2**70), 2**70), rng.randrange(1, 2**70) * rng.choice([1, -1])) for _ in range(25)]
    edge = [(-1, -1), (-2, -1), (-1, 1), (1, -2), (0, -1)]
    for x, y in list(zip(big, big[::-1])) + list(itertools.product(edge, edge)):
        if op == "/" and y[0] == 0:
            continue
        got = OPS[op](frac(*x, device), frac(*y, device))
        n, d = unreduced(op, x, y)
        assert column(got.num) == residues(n) and column(got.denom) == residues(d), (x, y)


def test_equality_negation_and_zero_divisors(device):
    assert bool(frac(1, 2, device) == frac(2, 4, device)) and not bool(frac(1, 2, device) == frac(1, 3, device))
    assert not bool(frac(BASIS[0], 1, device) == MT.zeros((), device))  # equal modulo one prime only
    gen = torch.Generator().manual_seed(7)
    a = MT.from_tensor(torch.randn(4, 50, dtype=torch.float64, generator=gen), device)
    b = MT.from_tensor(torch.randn(4, 50, dtype=torch.float64, generator=gen) + 3, device)
    assert bool(((a + b) - b == a).all()) and bool(((a * b) / b == a).all())
    assert bool((a - a == MT.zeros((4, 50), device)).all())
    # Negation copies the denominator rather than sharing it.
    x = frac(-7, 3, device, (2,))
    y = -x
    assert column(y.num, (0,)) == residues(7) and torch.equal(y.denom, x.denom)
    assert y.denom.data_ptr() != x.denom.data_ptr()
    assert column((-MT.zeros((), device)).num) == [0] * 20
    z = frac(3, 4, device, (2,)) / MT.zeros((2,), device)
    assert torch.count_nonzero(z.denom) == 0
    assert torch.isinf(z._approx).all() or (z._approx.abs() > 1e29).all()


def test_number_operands(device):
    a = frac(2, 3, device, (3,))
    for left, right in [(a + 3, 3 + a), (a * 4, 4 * a), (a + 2.9, a + 2), (5 - a, MT.from_int(5, (3,), device) - a),
                        (a - 2**80, a - MT.from_int(2**80, (3,), device))]:
        assert torch.equal(left.num, right.num) and torch.equal(left.denom, right.denom)
    assert (a + True).shape == (3,) and bool((a == 0.0).logical_not().all())
    column_shaped = frac(1, 2, device, (2, 1))  # a number takes the shape of self
    assert (column_shaped + 1).shape == (2, 1) and (column_shaped == 1).shape == (2, 1)
    with pytest.raises(ValueError):
        a + float("nan")
    with pytest.raises(OverflowError):
        a * float("inf")
    reflected = 1 / a
    assert torch.equal(reflected.num, (MT.from_int(1, (3,), device) / a).num)


def test_approximations(device):
    a, c = frac(1, 2, device, (2,)), frac(-1, 4, device, (2,))
    b = MT(a.num, a.denom)
    for r in [a + b, b + a, a - b, a * b, b / a, -b]:
        assert r._approx is None

    class Duck:
        num, denom = a.num, a.denom

    assert (b + Duck())._approx is None  # an operand without one is fine when self has none
    with pytest.raises(AttributeError):
        a + Duck()
    assert torch.equal((a + c)._approx, a._approx + c._approx) and torch.equal((-a)._approx, -a._approx)
    assert torch.equal((a / c)._approx, a._approx / (c._approx + 1e-30))


def test_operands_missing_or_holding_the_wrong_things(device):
    a = frac(1, 2, device, (2,))
    with pytest.raises(AttributeError, match="denom"):
        a + torch.ones(())
    with pytest.raises(AttributeError, match="num"):
        a * torch.ones(())
    with pytest.raises(AttributeError):
        a == None  # noqa: E711
    b = MT(a.num, a.denom)
    b.num = "residues"
    with pytest.raises(TypeError):  # raised, not a crash
        a + b
    assert (a + MT(a.num[:, :1], a.denom)).shape == (2,)  # halves that broadcast within the record


def random_residues(shape, seed):
    """int64 residues [20, *shape], uniform in [0, p) per row, p - 1 and 0 included."""
    gen = torch.Generator().manual_seed(seed)
    p = torch.tensor(BASIS).view(-1, *([1] * len(shape)))
    r = (torch.rand((20, *shape), generator=gen, dtype=torch.float64) * p).long()
    flat = r.view(20, -1)
    if flat.shape[1] >= 2:
        flat[:, 0], flat[:, 1] = p.view(-1) - 1, 0
    return r


def pair(shape_x, shape_y, seed):
    return (MT(random_residues(shape_x, seed), random_residues(shape_x, seed + 1)),
            MT(random_residues(shape_y, seed + 2), random_residues(shape_y, seed + 3)))


def view(x, f):
    return MT(f(x.num), f(x.denom))


@functools.lru_cache(maxsize=None)
def layouts(name):
    """Operand pairs in each layout the residue launcher distinguishes."""
    if name == "strided":
        x, y = pair((7, 9), (9, 7), 40)
        yt = view(y, lambda t: t.transpose(1, 2))
        # (3, 3) slices with steps in both user axes
        return [(x, yt), (view(x, lambda t: t[:, 1::2, 1::3]), MT(yt.num[:, ::2, ::3][:, :3], yt.denom[:, 1::2, ::3]))]
    # [20, 40001]: the odd length puts row boundaries inside the spans the rows
    # are cut into for parallel work.
    shapes = {"rows": [((3, 37), (3, 37))], "broadcast": [((4, 1, 5), (1, 3, 5)), ((1,), (6,))],
              "parallel chunks": [((40001,), (40001,))]}[name]
    return [pair(sx, sy, 10 * i + len(name)) for i, (sx, sy) in enumerate(shapes)]


@pytest.mark.parametrize("op", ["+", "-", "*", "/", "==", "neg"])
@pytest.mark.parametrize("layout", ["rows", "broadcast", "strided", "parallel chunks"])
def test_kernel_layouts_against_the_literal_formula(op, layout):
    for x, y in layouts(layout):
        if op == "neg":
            got, want = ((-x).num,), ((-x.num) % x.primes.view(-1, *([1] * len(x.shape))),)
        elif op == "==":
            got, want = (x == y,), (literal_binary("==", x, y),)
        else:
            r = OPS[op](x, y)
            got, want = (r.num, r.denom), literal_binary(op, x, y)
        for g, w in zip(got, want):
            assert g.shape == w.shape and torch.equal(g.cpu(), w), op


def test_prime_rows_follow_the_operand_basis():
    # Row i of a record is reduced modulo primes[i] of its own basis.
    x, y = pair((5,), (5,), 60)
    flipped = torch.tensor(BASIS[::-1])
    xr, yr = (MT(t.num.flip(0), t.denom.flip(0), flipped) for t in (x, y))
    for op in ["+", "*"]:
        r, want = OPS[op](xr, yr), literal_binary(op, x, y)
        assert torch.equal(r.num.flip(0), want[0]) and torch.equal(r.denom.flip(0), want[1])


def test_subclass_overrides_receive_the_arguments_as_given():
    """A subclass's own methods run instead of the members that defer to them, with each
    argument passed as one object (a tuple is not spread into several)."""
    calls = []

    class Logged(MT):
        def __add__(self, other):
            calls.append(("__add__", other))
            return "added"

        def __mul__(self, other):
            calls.append(("__mul__", other))
            return "multiplied"

        def _sum_dim(self, dim):
            calls.append(("_sum_dim", dim))
            return "summed"

    base = MT.from_int(2, (2, 2), "cpu")
    x = Logged(base.num, base.denom, base.primes, base._approx)
    assert ((1, 2) + x, (3, 4) * x, x.sum(1)) == ("added", "multiplied", "summed")
    assert calls == [("__add__", (1, 2)), ("__mul__", (3, 4)), ("_sum_dim", 1)]
    assert x.T.shape == (2, 2) and bool((-x == -base).all())  # members without an override run as for the class itself
