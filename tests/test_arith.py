"""Exact element-wise operators: residues against independent computation."""
import itertools
import random
from fractions import Fraction

import pytest
import torch

from support import BASIS, SCALE, captured, column, residues
from varnix.orvo.kalvex import ModularTensor as MT


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def unreduced(op, x, y):
    """(N, D) of x op y as the cross-multiplication formulas give them."""
    (a, b), (c, d) = x, y
    return {"+": (a * d + b * c, b * d), "-": (a * d - b * c, b * d), "*": (a * c, b * d), "/": (a * d, b * c)}[op]


def apply(op, x, y):
    return {"+": lambda: x + y, "-": lambda: x - y, "*": lambda: x * y, "/": lambda: x / y}[op]()


class TestFormulas:
    @pytest.mark.parametrize("op", ["+", "-", "*", "/"])
    def test_residues_of_random_fractions(self, op, device):
        rng = random.Random(op)
        for _ in range(25):
            x = (rng.randrange(-(2**70), 2**70), rng.randrange(1, 2**70) * rng.choice([1, -1]))
            y = (rng.randrange(-(2**70), 2**70), rng.randrange(1, 2**70))
            got = apply(op, frac(*x, device), frac(*y, device))
            n, d = unreduced(op, x, y)
            assert column(got.num) == residues(n)
            assert column(got.denom) == residues(d)

    @pytest.mark.parametrize("op", ["+", "-", "*", "/"])
    def test_residues_near_the_prime(self, op, device):
        # p - 1 and p - 2 in every row: products near 2^62, sums near 2^63.
        edge = [(-1, -1), (-2, -1), (-1, 1), (1, -2), (0, -1)]
        for x, y in itertools.product(edge, edge):
            if op == "/" and y[0] == 0:
                continue
            got = apply(op, frac(*x, device), frac(*y, device))
            n, d = unreduced(op, x, y)
            assert column(got.num) == residues(n) and column(got.denom) == residues(d)

    def test_float_captured_tensors(self, device):
        gen = torch.Generator().manual_seed(1)
        xs = torch.randn(300, dtype=torch.float64, generator=gen) * 1000
        ys = torch.randn(300, dtype=torch.float64, generator=gen) * 1000
        X, Y = MT.from_tensor(xs, device), MT.from_tensor(ys, device)
        for op in "+-*/":
            got = apply(op, X, Y)
            for i in range(0, 300, 37):
                n, d = unreduced(op, (int(xs[i] * SCALE), SCALE), (int(ys[i] * SCALE), SCALE))
                assert column(got.num, (i,)) == residues(n)
                assert column(got.denom, (i,)) == residues(d)

    def test_neg_copies_denominator(self, device):
        x = frac(-7, 3, device, (2,))
        y = -x
        assert column(y.num, (0,)) == residues(7)
        assert y.denom.data_ptr() != x.denom.data_ptr()
        assert torch.equal(y.denom, x.denom)
        assert column((-MT.zeros((), device)).num) == [0] * 20


class TestValues:
    def test_thirds_and_sixths_stay_unreduced(self, device):
        r = frac(1, 3, device) + frac(1, 6, device)
        assert column(r.num) == residues(9) and column(r.denom) == residues(18)
        assert r._approx.item() == pytest.approx(0.5)

    def test_equality_is_exact_on_cross_products(self, device):
        assert bool(frac(1, 2, device) == frac(2, 4, device))
        assert not bool(frac(1, 2, device) == frac(1, 3, device))
        half = frac(1, 2, device)
        assert bool(half - half == MT.zeros((), device))
        # equal modulo one prime only is not equal
        p = BASIS[0]
        assert not bool(frac(p, 1, device) == MT.zeros((), device))

    def test_property_round_trips(self, device):
        gen = torch.Generator().manual_seed(7)
        a = MT.from_tensor(torch.randn(4, 50, dtype=torch.float64, generator=gen), device)
        b = MT.from_tensor(torch.randn(4, 50, dtype=torch.float64, generator=gen) + 3, device)
        assert bool(((a + b) - b == a).all())
        assert bool(((a * b) / b == a).all())
        assert bool((a - a == MT.zeros((4, 50), device)).all())

    def test_division_by_exact_zero(self, device):
        a = frac(3, 4, device, (2,))
        z = a / MT.zeros((2,), device)
        assert torch.count_nonzero(z.denom) == 0
        assert torch.isinf(z._approx).all() or (z._approx.abs() > 1e29).all()


class TestNumbers:
    def test_int_and_float_operands(self, device):
        a = frac(2, 3, device, (3,))
        for left, right in [(a + 3, 3 + a), (a * 4, 4 * a)]:
            assert torch.equal(left.num, right.num) and torch.equal(left.denom, right.denom)
        assert torch.equal((a + 2.9).num, (a + 2).num)
        assert torch.equal((5 - a).num, (MT.from_int(5, (3,), device) - a).num)
        assert torch.equal((a - 2**80).num, (a - MT.from_int(2**80, (3,), device)).num)
        assert (a + True).shape == (3,)
        assert bool((a == 0.0).logical_not().all())

    def test_number_takes_the_shape_of_self(self, device):
        a = frac(1, 2, device, (2, 1))
        assert (a + 1).shape == (2, 1) and (a == 1).shape == (2, 1)

    def test_non_finite_floats(self, device):
        a = frac(1, 2, device)
        with pytest.raises(ValueError):
            a + float("nan")
        with pytest.raises(OverflowError):
            a * float("inf")

    def test_no_reflected_division(self, device):
        with pytest.raises(TypeError):
            1 / frac(1, 2, device)


class TestApproximations:
    def test_none_propagates(self, device):
        a = frac(1, 2, device, (2,))
        b = MT(a.num, a.denom)
        for r in [a + b, b + a, a - b, a * b, b / a, -b]:
            assert r._approx is None

    def test_duck_operand_without_approx_is_fine_when_self_has_none(self, device):
        a = frac(1, 2, device, (2,))

        class Duck:
            num, denom = a.num, a.denom

        b = MT(a.num, a.denom)
        assert (b + Duck())._approx is None
        with pytest.raises(AttributeError):
            a + Duck()

    def test_float_operations(self, device):
        a, b = frac(1, 4, device, (3,)), frac(-1, 2, device, (3,))
        assert torch.equal((a + b)._approx, a._approx + b._approx)
        assert torch.equal((a / b)._approx, a._approx / (b._approx + 1e-30))
        assert torch.equal((-a)._approx, -a._approx)


class TestShapesAndErrors:
    def test_broadcasting_of_equal_ranks(self, device):
        a = frac(1, 2, device, (2, 3))
        assert (a + frac(1, 3, device, (1, 3))).shape == (2, 3)
        assert (frac(1, 3, device, (2, 1)) * frac(1, 3, device, (1, 3))).shape == (2, 3)

    @pytest.mark.parametrize("left, right", [((2, 3), (3,)), ((), (1,)), ((20,), ()), ((3, 1), ())])
    def test_different_ranks_are_refused(self, left, right, device):
        a, b = frac(1, 2, device, left), frac(1, 3, device, right)
        for op in [lambda: a + b, lambda: a * b, lambda: a / b, lambda: a - b, lambda: a == b]:
            with pytest.raises(RuntimeError, match=r"same number of dimensions.*\[.*\] and \[.*\]"):
                op()

    def test_missing_attributes(self, device):
        a = frac(1, 2, device)
        with pytest.raises(AttributeError, match="denom"):
            a + torch.ones(())
        with pytest.raises(AttributeError, match="num"):
            a * torch.ones(())
        with pytest.raises(AttributeError):
            a == None  # noqa: E711

    def test_bad_slots_raise_instead_of_crashing(self, device):
        a = frac(1, 2, device, (2,))
        b = MT(a.num, a.denom)
        b.num = "residues"
        with pytest.raises(TypeError):
            a + b
        c = MT(a.num.to(torch.int32), a.denom)
        with pytest.raises(TypeError, match="'num' must hold int64 residues, got torch.int32"):
            a * c
        d = MT(a.num[:, :1], a.denom)
        assert (a + d).shape == (2,)


def random_residues(shape, seed):
    """int64 residues [20, *shape], uniform in [0, p) per row, p - 1 and 0 included."""
    gen = torch.Generator().manual_seed(seed)
    column = torch.tensor(BASIS).view(-1, *([1] * len(shape)))
    r = (torch.rand((20, *shape), generator=gen, dtype=torch.float64) * column).long()
    flat = r.view(20, -1)
    if flat.shape[1] >= 2:
        flat[:, 0] = column.view(-1) - 1
        flat[:, 1] = 0
    return r


def reference(op, x, y):
    """The formula on exact int64 torch arithmetic, each product reduced at once."""
    P = torch.tensor(BASIS).view(-1, *([1] * (x.num.dim() - 1)))
    a, b, c, d = x.num, x.denom, y.num, y.denom
    return {
        "+": lambda: ((a * d % P + b * c % P) % P, b * d % P),
        "-": lambda: ((a * d % P - b * c % P) % P, b * d % P),
        "*": lambda: (a * c % P, b * d % P),
        "/": lambda: (a * d % P, b * c % P),
        "==": lambda: ((a * d % P == b * c % P).all(dim=0),),
        "neg": lambda: ((-a) % P,),
    }[op]()


def run(op, x, y):
    if op == "==":
        return (x == y,)
    if op == "neg":
        return ((-x).num,)
    r = apply(op, x, y)
    return (r.num, r.denom)


OPS = ["+", "-", "*", "/", "==", "neg"]


class TestKernelLayouts:
    """Every layout the residue launcher distinguishes, against the plain formula."""

    def check(self, op, x, y):
        got = run(op, x, y)
        want = reference(op, x, y)
        for g, w in zip(got, want):
            assert g.shape == w.shape and torch.equal(g.cpu(), w), op

    def pair(self, shape_x, shape_y, seed):
        xs = MT(random_residues(shape_x, seed), random_residues(shape_x, seed + 1))
        ys = MT(random_residues(shape_y, seed + 2), random_residues(shape_y, seed + 3))
        return xs, ys

    @pytest.mark.parametrize("op", OPS)
    def test_contiguous_rows(self, op):
        self.check(op, *self.pair((3, 37), (3, 37), 10))

    @pytest.mark.parametrize("op", OPS)
    def test_broadcast_operands(self, op):
        self.check(op, *self.pair((4, 1, 5), (1, 3, 5), 20))
        self.check(op, *self.pair((1,), (6,), 30))

    @pytest.mark.parametrize("op", OPS)
    def test_strided_operands(self, op):
        x, y = self.pair((7, 9), (9, 7), 40)
        yt = MT(y.num.transpose(1, 2), y.denom.transpose(1, 2))
        self.check(op, x, yt)
        # (3, 3) slices with steps in both user axes
        xs = MT(x.num[:, 1::2, 1::3], x.denom[:, 1::2, 1::3])
        self.check(op, xs, MT(yt.num[:, ::2, ::3][:, :3], yt.denom[:, 1::2, ::3]))

    @pytest.mark.parametrize("op", OPS)
    def test_rows_split_across_parallel_chunks(self, op):
        # [20, 40001]: the odd length puts row boundaries inside the spans
        # the rows are cut into for parallel work.
        self.check(op, *self.pair((40001,), (40001,), 50))

    def test_prime_rows_follow_the_operand_basis(self):
        # Row i of a record is reduced modulo primes[i] of its own basis.
        x, y = self.pair((5,), (5,), 60)
        flipped = torch.tensor(BASIS[::-1])
        xr = MT(x.num.flip(0), x.denom.flip(0), flipped)
        yr = MT(y.num.flip(0), y.denom.flip(0), flipped)
        for op in ["+", "*"]:
            r = apply(op, xr, yr)
            want = reference(op, x, y)
            assert torch.equal(r.num.flip(0), want[0]) and torch.equal(r.denom.flip(0), want[1])
