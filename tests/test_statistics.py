"""Statistics, running sums and products, and the module functions that
forward to methods: exact values against Fraction, residues against the
literal sequential algorithms, argument checks and messages."""
import math
import random
from decimal import Decimal, getcontext
from fractions import Fraction

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
    a = torch.tensor([n / d if d else 0.0 for n, d in pairs], dtype=torch.float32) if approx else None
    return MT(num.to(device), den.to(device), None, None if a is None else a.to(device))


def random_pairs(n, seed, zero_denominators=0):
    rng = random.Random(seed)
    pairs = [(rng.randrange(-40, 41), rng.randrange(1, 10) * rng.choice([1, -1])) for _ in range(n)]
    for i in rng.sample(range(n), zero_denominators):
        pairs[i] = (rng.randrange(1, 9), 0)
    return pairs


def element(t, i):
    return MT(t.num[:, i:i + 1], t.denom[:, i:i + 1])


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


class TestVariance:
    def test_small_values(self, device):
        x = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), device)
        assert value(x.var()) == Fraction(5, 3)
        assert value(x.var(0)) == Fraction(5, 4)
        assert value(x.var(6)) == Fraction(4, 4 - 6) * Fraction(5, 4)
        one = MT.from_fraction(7, 3, (1,), device)
        assert value(one.var(0)) == 0
        with pytest.raises(ZeroDivisionError, match="division by zero"):
            one.var()
        with pytest.raises(ZeroDivisionError):
            x.var(4)

    @pytest.mark.parametrize("bad", [True, 1.0, None])
    def test_correction_must_be_an_int(self, bad, device):
        x = MT.from_fraction(1, 2, (3,), device)
        for method in (x.var, x.std):
            with pytest.raises(TypeError, match="Argument 'correction' has incorrect type"):
                method(bad)

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

    def test_shapes_and_big_correction(self, device):
        x = MT.from_fraction(1, 3, (2, 3), device) * MT.from_tensor(
            torch.arange(6, dtype=torch.float64).reshape(2, 3), device)
        values = [Fraction(k, 3) for k in range(6)]
        mean = sum(values) / 6
        pop = sum((v - mean) ** 2 for v in values) / 6
        assert value(x.var(0)) == pop
        assert value(x.var(-10**30)) == pop * Fraction(6, 6 + 10**30)

    def test_zero_denominator_follows_the_literal_steps(self, device):
        pairs = [(3, 0), (1, 2), (5, 7)]
        r = from_pairs(pairs, device).var()
        # the sums keep their unreduced cross-multiplied pairs, and every
        # one-element step after them keeps its pair as well
        prime_rows = []
        for p in BASIS:
            def add(x, y):
                return ((x[0] * y[1] + x[1] * y[0]) % p, (x[1] * y[1]) % p)

            def mul(x, y):
                return ((x[0] * y[0]) % p, (x[1] * y[1]) % p)

            s1, s2 = (0, 1), (0, 1)
            for n, d in pairs:
                s1, s2 = add(s1, (n, d)), add(s2, (n * n, d * d))
            mean, mean_sq = mul(s1, (1, 3)), mul(s2, (1, 3))
            sq = mul(mean, mean)
            var = add(mean_sq, ((-sq[0]) % p, sq[1]))
            prime_rows.append(mul(var, (3, 2)))
        assert column(r.num, (0,)) == [n for n, _ in prime_rows]
        assert column(r.denom, (0,)) == [d for _, d in prime_rows]

    def test_empty_tensor_does_not_crash(self, device):
        r = MT.zeros((0,), device).var()
        assert r.shape == (1,)


class TestStdAndNorm:
    def test_std_is_the_newton_root_of_the_variance(self, device):
        x = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), device)
        s = x.std()
        assert s.shape == (1,)
        assert value(s) == value(kalvex.sqrt_newton(x.var()))
        getcontext().prec = 100
        assert abs(s.to_decimal() - (Decimal(5) / 3).sqrt()) < Decimal(10) ** -40
        assert value(x.std(0)) == value(kalvex.sqrt_newton(x.var(0)))

    def test_norm_two(self, device):
        assert value(MT.from_tensor(torch.tensor([3.0, -4.0]), device).norm()) == 5
        r = MT.from_tensor(torch.tensor([1.0, 1.0]), device).norm(2)
        assert abs(value(r) ** 2 - 2) < Fraction(1, 10**30)

    def test_norm_one(self, device):
        # needs abs
        x = MT.from_tensor(torch.tensor([-0.5, 3.0]), device)
        assert value(x.norm(1)) == Fraction(7, 2)

    def test_norm_arguments(self, device):
        x = MT.from_fraction(1, 2, (3,), device)
        for p in (3, 0, -2, 10**30):
            with pytest.raises(ValueError, match="^Only L1 and L2 norms supported$"):
                x.norm(p)
        for p in (2.0, True):
            with pytest.raises(TypeError, match="Argument 'p' has incorrect type"):
                x.norm(p)


class TestProduct:
    def test_small_values(self, device):
        r = from_pairs([(2, 1), (3, 2), (-1, 1)], device).prod()
        assert r.shape == (1,) and value(r) == -3
        assert column(r.num, (0,)) == residues(-6) and column(r.denom, (0,)) == residues(2)
        zero = from_pairs([(2, 1), (0, 5), (3, 4)], device).prod()
        assert column(zero.num, (0,)) == [0] * len(BASIS)
        scalar = MT.from_fraction(5, 3, (), device).prod()
        assert scalar.shape == (1,) and value(scalar) == Fraction(5, 3)
        empty = MT.zeros((0,), device).prod()
        assert empty.shape == (1,) and value(empty) == 1 and empty._approx.tolist() == [1.0]

    @pytest.mark.parametrize("n", [1, 31, 32, 33, 100, 1000])
    def test_residues_equal_the_sequential_product(self, n, device):
        pairs = random_pairs(n, n, zero_denominators=min(2, n - 1))
        x = from_pairs(pairs, device)
        r = x.prod()
        assert column(r.num, (0,)) == residues(math.prod(a for a, _ in pairs))
        assert column(r.denom, (0,)) == residues(math.prod(b for _, b in pairs))
        assert_same_float(r._approx, x._approx.prod().unsqueeze(0))
        assert from_pairs(pairs, device, approx=False).prod()._approx is None

    def test_shapes_are_flattened(self, device):
        x = MT.from_tensor(torch.tensor([[1.5, -2.0], [0.25, 4.0]], dtype=torch.float64), device)
        assert value(x.prod()) == Fraction(-3)


class TestRunning:
    def test_small_values(self, device):
        s = from_pairs([(1, 2), (1, 3), (1, 6)], device).cumsum()
        assert [value(element(s, i)) for i in range(3)] == [Fraction(1, 2), Fraction(5, 6), 1]
        p = from_pairs([(2, 1), (1, 2), (3, 1)], device).cumprod()
        assert [value(element(p, i)) for i in range(3)] == [2, 1, 3]

    @pytest.mark.parametrize("n", [1, 31, 32, 33, 64, 100, 300])
    @pytest.mark.parametrize("zeros", [0, 2])
    def test_residues_equal_the_sequential_walk(self, n, zeros, device):
        pairs = random_pairs(n, 7 * n + zeros, zero_denominators=min(zeros, n))
        x = from_pairs(pairs, device)
        for product, method in ((False, x.cumsum), (True, x.cumprod)):
            r = method()
            assert r.shape == (n,)
            assert_pairs(r, literal_running(pairs, product))
        assert torch.equal(x.cumsum()._approx, torch.cumsum(x._approx, dim=0))
        assert torch.equal(x.cumprod()._approx, torch.cumprod(x._approx, dim=0))

    @pytest.mark.parametrize("case", ["prime denominator", "negative denominator", "shared zero denominator"])
    def test_shared_denominators_match_the_walk(self, case, device):
        p0 = BASIS[0]
        pairs = {
            # the first block sums to exactly 1: its reduction divides by a basis prime
            "prime denominator": [(p0 - 31, p0)] + [(1, p0)] * 40 + [(-5, p0)] * 40,
            "negative denominator": [(k, -3) for k in range(-50, 50)],
            "shared zero denominator": [(k + 1, 0) for k in range(70)],
        }[case]
        r = from_pairs(pairs, device).cumsum()
        assert_pairs(r, literal_running(pairs, False))

    @pytest.mark.parametrize("n", [33, 1000])
    def test_float_captured_sums_match_the_walk(self, n, device):
        gen = torch.Generator().manual_seed(n)
        data = (torch.randn(n, dtype=torch.float64, generator=gen) * 50).tolist()
        pairs = [(int(v * SCALE), SCALE) for v in data]
        assert_pairs(MT.from_tensor(torch.tensor(data, dtype=torch.float64), device).cumsum(),
                     literal_running(pairs, False))

    def test_float_captured_sums_are_exact_at_every_position(self, device):
        gen = torch.Generator().manual_seed(5)
        data = torch.randn(10_000, dtype=torch.float64, generator=gen) * 300
        r = MT.from_tensor(data, device).cumsum()
        total = Fraction(0)
        for i, v in enumerate(data.tolist()):
            total += captured(v)
            assert value(element(r, i)) == total

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
        assert value(element(r, 79)) == 1

    def test_dim_and_rank(self, device):
        x = MT.from_fraction(1, 3, (4,), device)
        base = x.cumsum()
        for dim in (0, -1, -2):
            assert torch.equal(x.cumsum(dim).num, base.num) and torch.equal(x.cumsum(dim).denom, base.denom)
        for dim in (1, -3, 10**30):
            with pytest.raises(IndexError):
                x.cumsum(dim)
        with pytest.raises(IndexError):
            MT.from_fraction(1, 3, (), device).cumprod()
        m = MT.from_fraction(1, 3, (2, 2), device)
        with pytest.raises(NotImplementedError, match="^cumsum currently only supports 1D tensors$"):
            m.cumsum()
        with pytest.raises(NotImplementedError, match="^cumprod currently only supports 1D tensors$"):
            m.cumprod(-1)
        with pytest.raises(IndexError):
            m.cumsum(2)
        for bad in (True, 0.0, None):
            with pytest.raises(TypeError, match="Argument 'dim' has incorrect type"):
                x.cumsum(bad)

    def test_empty_and_without_approximation(self, device):
        e = MT.zeros((0,), device).cumsum()
        assert e.shape == (0,) and e.num.shape == (len(BASIS), 0)
        halves = MT.from_fraction(1, 2, (3,), device)
        bare = MT(halves.num, halves.denom)
        assert bare.cumsum()._approx is None and bare.cumprod()._approx is None


class Recorder:
    """Any object with the methods the module functions call."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __getattr__(self, name):
        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.result
        return method


class TestModuleFunctions:
    FORWARDS = [
        ("modular_abs", "abs", ()), ("modular_max", "max", ()), ("modular_min", "min", ()),
        ("modular_relu", "relu", ()), ("modular_var", "var", (0,)), ("modular_std", "std", (3,)),
        ("modular_norm", "norm", (1,)), ("modular_prod", "prod", ()), ("modular_pow", "pow", (-2,)),
        ("modular_clamp", "clamp", (0.5, None)), ("modular_sign", "sign", ()),
        ("modular_reciprocal", "reciprocal", ()), ("modular_square", "square", ()),
    ]

    @pytest.mark.parametrize("function, method, extra", FORWARDS)
    def test_forward_positionally_and_return_unchanged(self, function, method, extra):
        result = object()
        x = Recorder(result)
        assert getattr(kalvex, function)(x, *extra) is result
        assert x.calls == [(method, extra, {})]

    def test_defaults_are_passed_on(self):
        for function, method, expected in (("modular_var", "var", (1,)), ("modular_std", "std", (1,)),
                                           ("modular_norm", "norm", (2,)), ("modular_clamp", "clamp", (None, None))):
            x = Recorder()
            getattr(kalvex, function)(x)
            assert x.calls == [(method, expected, {})]

    def test_argument_checks_come_first(self):
        x = Recorder()
        for call, name in ((lambda: kalvex.modular_var(x, True), "correction"),
                           (lambda: kalvex.modular_std(x, 1.0), "correction"),
                           (lambda: kalvex.modular_norm(x, 2.0), "p"),
                           (lambda: kalvex.modular_pow(x, 2.0), "n"),
                           (lambda: kalvex.modular_clamp(x, 0), "min_val"),
                           (lambda: kalvex.modular_clamp(x, None, 1), "max_val")):
            with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
                call()
        assert x.calls == []
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'n'"):
            kalvex.modular_pow(x)

    def test_index_results_are_checked(self):
        for function in ("modular_argmax", "modular_argmin"):
            assert getattr(kalvex, function)(Recorder(3)) == 3
            assert getattr(kalvex, function)(Recorder(None)) is None
            for bad, name in ((True, "bool"), ("3", "str"), (3.0, "float")):
                with pytest.raises(TypeError, match=f"^Expected int, got {name}$"):
                    getattr(kalvex, function)(Recorder(bad))

    def test_statistics_through_the_functions(self, device):
        x = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), device)
        assert value(kalvex.modular_var(x)) == Fraction(5, 3)
        assert value(kalvex.modular_var(x, 0)) == Fraction(5, 4)
        assert value(kalvex.modular_std(x)) == value(x.std())
        assert value(kalvex.modular_norm(x)) == value(x.norm(2))
        assert value(kalvex.modular_prod(x)) == 24

    def test_sum_and_dot_capture_floats(self, monkeypatch):
        # from_tensor is called with the tensor alone (its default device);
        # here it captures on the CPU
        calls = []
        original = MT.from_tensor

        def on_cpu(cls, *args, **kwargs):
            calls.append((args, kwargs))
            return original(args[0], "cpu")

        monkeypatch.setattr(MT, "from_tensor", classmethod(on_cpu))
        a, b = torch.tensor([1.0, 2.0]), torch.tensor([3.0, 4.0])
        assert value(kalvex.modular_sum(torch.tensor([0.5, 0.25]))) == Fraction(3, 4)
        assert value(kalvex.modular_dot(a, b)) == 11
        assert [len(args) for args, _ in calls] == [1, 1, 1] and all(not kw for _, kw in calls)
        assert calls[1][0][0] is a and calls[2][0][0] is b
