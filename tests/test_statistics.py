"""Statistics, running sums and products, and the module functions that
forward to methods: exact values against Fraction, residues against the
literal sequential algorithms, and the messages."""
import math
import random
from decimal import Decimal, localcontext
from fractions import Fraction
from unittest import mock

import pytest
import torch

from support import BASIS, SCALE, assert_same_float, captured, column, residues
from varnix.orvo import kalvex
from varnix.orvo.kalvex import ModularTensor as MT


def value(t):
    return Fraction(*t.to_rational())


def from_pairs(pairs, device, approx=True):
    """A 1-D tensor of the integer pairs (n, d), unreduced, d possibly 0."""
    num = torch.tensor([[n % p for n, _ in pairs] for p in BASIS], dtype=torch.int64).reshape(len(BASIS), -1)
    den = torch.tensor([[d % p for _, d in pairs] for p in BASIS], dtype=torch.int64).reshape(len(BASIS), -1)
    a = torch.tensor([n / d if d else 0.0 for n, d in pairs], dtype=torch.float32).to(device) if approx else None
    return MT(num.to(device), den.to(device), None, a)


def random_pairs(n, seed, zero_denominators=0):
    rng = random.Random(seed)
    pairs = [(rng.randrange(-40, 41), rng.randrange(1, 10) * rng.choice([1, -1])) for _ in range(n)]
    for i in rng.sample(range(n), zero_denominators):
        pairs[i] = (rng.randrange(1, 9), 0)
    return pairs


def literal_running(pairs, product):
    """The stored pairs of the sequential walk as exact integers: cross
    multiplied, the running pair reduced after every 32nd element unless its
    denominator is zero (a reduction that cannot rebuild keeps the pair)."""
    n, d = (1, 1) if product else (0, 1)
    out = []
    for i, (a, b) in enumerate(pairs):
        n, d = (n * a, d * b) if product else (n * b + d * a, d * b)
        out.append((n, d))
        if i % 32 == 31 and d != 0:
            g = math.gcd(n, d) * (1 if d > 0 else -1)
            n, d = n // g, d // g
    return out


def assert_pairs(t, pairs):
    assert t.num.cpu().tolist() == [[n % p for n, _ in pairs] for p in BASIS]
    assert t.denom.cpu().tolist() == [[d % p for _, d in pairs] for p in BASIS]


def add(x, y):
    return x[0] * y[1] + x[1] * y[0], x[1] * y[1]


def mul(x, y):
    return x[0] * y[0], x[1] * y[1]


class TestVarianceStdNorm:
    def test_small_values_shapes_and_corrections(self, device):
        x = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), device)
        assert value(x.var()) == Fraction(5, 3) and value(x.var(0)) == Fraction(5, 4)
        assert value(x.var(6)) == Fraction(4, 4 - 6) * Fraction(5, 4)
        with pytest.raises(ZeroDivisionError):
            x.var(4)
        one = MT.from_fraction(7, 3, (1,), device)
        assert value(one.var(0)) == 0
        with pytest.raises(ZeroDivisionError, match="division by zero"):
            one.var()
        # every element of a [2, 3] tensor, and a correction past the int64 range
        m = MT.from_tensor(torch.arange(6.0, dtype=torch.float64).view(2, 3), device)
        m = m * MT.from_fraction(1, 3, (2, 3), device)
        pop = sum((Fraction(k, 3) - Fraction(5, 6)) ** 2 for k in range(6)) / 6
        assert value(m.var(0)) == pop and value(m.var(-10**30)) == pop * Fraction(6, 6 + 10**30)

    @pytest.mark.parametrize("n", [2, 65, 20_000])
    def test_float_captured_values_are_exact(self, n, device):
        gen = torch.Generator().manual_seed(n)
        data = torch.randn(n, dtype=torch.float64, generator=gen) * 300
        values = [captured(v) for v in data.tolist()]
        mean = sum(values) / n
        expected = sum((v - mean) ** 2 for v in values) / (n - 1)
        r = MT.from_tensor(data, device).var()
        assert r.shape == (1,)
        assert column(r.num, (0,)) == residues(expected.numerator)
        assert column(r.denom, (0,)) == residues(expected.denominator)
        assert r._approx.item() == torch.tensor(float(expected), dtype=torch.float32).item()

    def test_zero_denominator_follows_the_literal_steps(self, device):
        # The sums of x and x^2 keep their cross-multiplied pairs, and so does
        # every one-element step after them: the means, their difference, n / (n - 1).
        pairs = [(3, 0), (1, 2), (5, 7)]
        s1 = s2 = (0, 1)
        for n, d in pairs:
            s1, s2 = add(s1, (n, d)), add(s2, (n * n, d * d))
        mean, mean_sq = mul(s1, (1, 3)), mul(s2, (1, 3))
        var = mul(add(mean_sq, mul((-1, 1), mul(mean, mean))), (3, 2))
        r = from_pairs(pairs, device).var()
        assert (column(r.num, (0,)), column(r.denom, (0,))) == (residues(var[0]), residues(var[1]))

    def test_std_and_norms(self, device):
        x = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), device)
        s = x.std()
        assert s.shape == (1,) and value(s) == value(kalvex.sqrt_newton(x.var()))
        with localcontext() as context:
            context.prec = 100
            assert abs(s.to_decimal() - (Decimal(5) / 3).sqrt()) < Decimal(10) ** -40
        assert value(x.std(0)) == value(kalvex.sqrt_newton(x.var(0)))
        assert value(MT.from_tensor(torch.tensor([3.0, -4.0]), device).norm()) == 5
        assert abs(value(MT.from_tensor(torch.tensor([1.0, 1.0]), device).norm(2)) ** 2 - 2) < Fraction(1, 10**30)
        x = MT.from_tensor(torch.tensor([-0.5, 3.0]), device)
        assert value(x.norm(1)) == Fraction(7, 2)
        for p in (3, 0, -2, 10**30):
            with pytest.raises(ValueError, match="^Only L1 and L2 norms supported$"):
                x.norm(p)


class TestProductsAndRunning:
    @pytest.mark.parametrize("n", [1, 31, 32, 33, 100, 1000])
    def test_residues_equal_the_sequential_product(self, n, device):
        pairs = random_pairs(n, n, zero_denominators=min(2, n - 1))
        x = from_pairs(pairs, device)
        r = x.prod()
        assert column(r.num, (0,)) == residues(math.prod(a for a, _ in pairs))
        assert column(r.denom, (0,)) == residues(math.prod(b for _, b in pairs))
        assert_same_float(r._approx, x._approx.prod().unsqueeze(0))
        assert from_pairs(pairs, device, approx=False).prod()._approx is None

    def test_shapes(self, device):
        empty = MT.zeros((0,), device)
        assert empty.var().shape == (1,)  # no crash
        p = empty.prod()
        assert p.shape == (1,) and value(p) == 1 and p._approx.tolist() == [1.0]
        for r in (empty.cumsum(), empty.cumprod()):
            assert r.shape == (0,) and r.num.shape == (len(BASIS), 0)
        scalar = MT.from_fraction(5, 3, (), device).prod()
        assert scalar.shape == (1,) and value(scalar) == Fraction(5, 3)
        x = MT.from_tensor(torch.tensor([[1.5, -2.0], [0.25, 4.0]], dtype=torch.float64), device)
        assert value(x.prod()) == Fraction(-3)  # every element of a matrix

    @pytest.mark.parametrize("n", [1, 31, 32, 33, 64, 100, 300])
    @pytest.mark.parametrize("zeros", [0, 2])
    def test_residues_equal_the_sequential_walk(self, n, zeros, device):
        pairs = random_pairs(n, 7 * n + zeros, zero_denominators=min(zeros, n))
        x, bare = from_pairs(pairs, device), from_pairs(pairs, device, approx=False)
        for product, method, approx in ((False, "cumsum", torch.cumsum), (True, "cumprod", torch.cumprod)):
            r = getattr(x, method)()
            assert r.shape == (n,)
            assert_pairs(r, literal_running(pairs, product))
            assert torch.equal(r._approx, approx(x._approx, dim=0))
            assert getattr(bare, method)()._approx is None

    @pytest.mark.parametrize("case", ["prime denominator", "negative denominator", "shared zero denominator", "floats"])
    def test_sums_of_shared_denominators_match_the_walk(self, case, device):
        p0, data = BASIS[0], torch.randn(1000, dtype=torch.float64, generator=torch.Generator().manual_seed(1)) * 50
        pairs = {
            # the first block sums to exactly 1: its reduction divides by a basis prime
            "prime denominator": [(p0 - 31, p0)] + [(1, p0)] * 40 + [(-5, p0)] * 40,
            "negative denominator": [(k, -3) for k in range(-50, 50)],
            "shared zero denominator": [(k + 1, 0) for k in range(70)],
            # every block total of 32 denominators 2^52 is beyond the read-back range
            "floats": [(int(v * SCALE), SCALE) for v in data.tolist()],
        }[case]
        x = MT.from_tensor(data, device) if case == "floats" else from_pairs(pairs, device)
        assert_pairs(x.cumsum(), literal_running(pairs, False))

    def test_products_beyond_the_range_keep_exact_residues(self, device):
        # the running product leaves the read-back range at the first block
        # end and comes back to exactly 1 at the last element
        pairs = [(3**40, 1)] * 40 + [(1, 3**40)] * 40
        r = from_pairs(pairs, device).cumprod()
        total = Fraction(1)
        for i, (a, b) in enumerate(pairs):
            total *= Fraction(a, b)
            n, d = column(r.num, (i,)), column(r.denom, (i,))
            assert all((x * total.denominator - y * total.numerator) % p == 0 for x, y, p in zip(n, d, BASIS))
        assert value(MT(r.num[:, 79:], r.denom[:, 79:])) == 1

    def test_dim_and_rank(self, device):
        x = MT.from_fraction(1, 3, (4,), device)
        for dim in (0, -1, -2):
            assert_pairs(x.cumsum(dim), literal_running([(1, 3)] * 4, False))
        scalar, m = MT.from_fraction(1, 3, (), device), MT.from_fraction(1, 3, (2, 2), device)
        for method, args in [(x.cumsum, (1,)), (x.cumsum, (-3,)), (x.cumsum, (10**30,)), (scalar.cumprod, ()),
                             (m.cumsum, (2,))]:
            with pytest.raises(IndexError):
                method(*args)
        for name in ("cumsum", "cumprod"):
            with pytest.raises(NotImplementedError, match=f"^{name} currently only supports 1D tensors$"):
                getattr(m, name)(-1)


class TestModuleFunctions:
    FORWARDS = [  # function, method, arguments given, arguments the method receives
        ("modular_abs", "abs", (), ()), ("modular_max", "max", (), ()), ("modular_min", "min", (), ()),
        ("modular_relu", "relu", (), ()), ("modular_var", "var", (0,), (0,)), ("modular_var", "var", (), (1,)),
        ("modular_std", "std", (3,), (3,)), ("modular_std", "std", (), (1,)), ("modular_norm", "norm", (1,), (1,)),
        ("modular_norm", "norm", (), (2,)), ("modular_prod", "prod", (), ()), ("modular_pow", "pow", (-2,), (-2,)),
        ("modular_clamp", "clamp", (0.5, None), (0.5, None)), ("modular_clamp", "clamp", (), (None, None)),
        ("modular_sign", "sign", (), ()), ("modular_reciprocal", "reciprocal", (), ()),
        ("modular_square", "square", (), ()),
    ]

    @pytest.mark.parametrize("function, method, given, received", FORWARDS)
    def test_forward_positionally_and_return_unchanged(self, function, method, given, received):
        result = object()
        x = mock.NonCallableMock(**{f"{method}.return_value": result})
        assert getattr(kalvex, function)(x, *given) is result
        assert x.mock_calls == [getattr(mock.call, method)(*received)]

    def test_index_results_are_checked(self):
        for method in ("argmax", "argmin"):
            function = getattr(kalvex, "modular_" + method)
            assert function(mock.NonCallableMock(**{f"{method}.return_value": 3})) == 3
            assert function(mock.NonCallableMock(**{f"{method}.return_value": None})) is None
            for bad, name in ((True, "bool"), ("3", "str"), (3.0, "float")):
                with pytest.raises(TypeError, match=f"^Expected int, got {name}$"):
                    function(mock.NonCallableMock(**{f"{method}.return_value": bad}))

    def test_sum_and_dot_capture_floats(self):
        # from_tensor is called with the tensor alone (its default device); here it captures on the CPU
        s, a, b = torch.tensor([0.5, 0.25]), torch.tensor([1.0, 2.0]), torch.tensor([3.0, 4.0])
        original = MT.from_tensor
        with mock.patch.object(MT, "from_tensor", side_effect=lambda t: original(t, "cpu")) as capture:
            assert value(kalvex.modular_sum(s)) == Fraction(3, 4)
            assert value(kalvex.modular_dot(a, b)) == 11
        assert capture.call_args_list == [mock.call(s), mock.call(a), mock.call(b)]
