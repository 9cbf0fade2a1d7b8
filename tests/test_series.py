"""Taylor series and Newton's square root: exact values against Fraction sums,
unreduced residues against the literal chain of tensor operations, counts,
and the bound on Newton steps."""
import math
from fractions import Fraction

import pytest
import torch

from support import BASIS, SCALE, bit_size, captured, column, newton_fraction, residues
from varnix.orvo import kalvex
from varnix.orvo.kalvex import ModularTensor as MT


def value(t):
    return Fraction(*t.to_rational())


def mt(f, device, shape=()):
    f = Fraction(f)
    return MT.from_fraction(f.numerator, f.denominator, shape, device)


def assert_reduced(t, f, index=()):
    """t holds f in lowest terms, with the approximation the constructors give."""
    assert (column(t.num, index), column(t.denom, index)) == (residues(f.numerator), residues(f.denominator))
    assert t._approx[index].item() == torch.tensor(float(f), dtype=torch.float32).item()


def sqrt_coefficient(n):
    """The binomial coefficient (1/2 choose n)."""
    return Fraction((-1) ** (n + 1) * math.comb(2 * n, n), 4 ** n * (2 * n - 1))


SERIES = {  # the function, its n-th term as a Fraction, its default count
    "exp": (kalvex.exp_taylor, lambda x, n: x ** n / math.factorial(n), 20),
    "sin": (kalvex.sin_taylor, lambda x, n: (-1) ** n * x ** (2 * n + 1) / math.factorial(2 * n + 1), 20),
    "cos": (kalvex.cos_taylor, lambda x, n: (-1) ** n * x ** (2 * n) / math.factorial(2 * n), 20),
    "log1p": (kalvex.log1p_taylor, lambda x, n: (-1) ** n * x ** (n + 1) / (n + 1), 30),
    "sqrt": (kalvex.sqrt_taylor, lambda a, n: sqrt_coefficient(n) * (a - 1) ** n, 30),
}


def series(name, x, terms=None):
    _, term, default = SERIES[name]
    return sum((term(Fraction(x), n) for n in range(default if terms is None else terms)), Fraction(0))


def float_seed(approx):
    """The exact starting point: the float32 root of the clamped float view,
    correctly rounded (through a double, which rounds the same), captured."""
    clamped = torch.clamp(approx, min=1e-10).item()
    return captured(torch.tensor(math.sqrt(clamped), dtype=approx.dtype).item())


# Unreduced pairs as exact integers, combined as the tensor arithmetic combines
# them: their residues are those the chain of tensor operations stores.
def add(x, y):
    return x[0] * y[1] + x[1] * y[0], x[1] * y[1]


def mul(x, y):
    return x[0] * y[0], x[1] * y[1]


def chain(name, x, terms):
    """The pair exp_taylor or sqrt_taylor leaves for the pair x, term by term."""
    result = power = (1, 1)
    base = x if name == "exp" else add(x, (-1, 1))
    for n in range(1, terms):
        power = mul(power, base)
        c = Fraction(1, math.factorial(n)) if name == "exp" else sqrt_coefficient(n)
        result = add(result, mul(power, (c.numerator, c.denominator)))
    return result


class TestTaylor:
    def test_small_counts(self, device):
        for name, x, terms, expected in [("exp", 1, 3, Fraction(5, 2)), ("sin", Fraction(1, 2), 2, Fraction(23, 48)),
                                         ("sin", Fraction(1, 2), 1, Fraction(1, 2)), ("cos", Fraction(-7, 3), 1, 1),
                                         ("cos", Fraction(-7, 3), 2, 1 - Fraction(49, 18)),
                                         ("log1p", Fraction(1, 2), 2, Fraction(3, 8)),
                                         ("sqrt", Fraction(5, 4), 3, Fraction(143, 128))]:
            assert_reduced(SERIES[name][0](mt(x, device), terms), Fraction(expected))
        # 6/4 is read as 3/2 before the terms are formed
        r = kalvex.exp_taylor(MT.from_fraction(6, 4, (1,), device), 4)
        assert r.shape == (1,) and r.device.type == device
        assert_reduced(r, series("exp", Fraction(3, 2), 4), (0,))

    @pytest.mark.parametrize("terms", [0, -1, -10**30])
    def test_counts_without_terms_and_too_large_to_run(self, terms, device):
        x = mt(Fraction(2, 3), device, (1,))
        for name, expected in {"exp": 1, "sin": 0, "cos": 1, "log1p": 0, "sqrt": 1}.items():
            assert_reduced(SERIES[name][0](x, terms), Fraction(expected), (0,))
        with pytest.raises(OverflowError):
            kalvex.exp_taylor(x, 10**30)

    @pytest.mark.parametrize("name", sorted(SERIES))
    @pytest.mark.parametrize("x", [Fraction(1, 3), Fraction(-5, 7), Fraction(0), Fraction(9, 10)])
    def test_default_terms_match_fractions(self, name, x, device):
        arg = x + 1 if name == "sqrt" else x
        assert_reduced(SERIES[name][0](mt(arg, device)), series(name, arg))

    @pytest.mark.parametrize("name", sorted(SERIES))
    def test_beyond_the_read_back_range_residues_stay_exact(self, name, device):
        # a float-captured input: reduced denominators of 2^50 make every sum far
        # larger than 620 bits, yet the residues are those of the true value in lowest terms
        v = 0.3 if name != "sqrt" else 1.3
        expected = series(name, captured(v))
        assert bit_size(expected) > 1300
        assert_reduced(SERIES[name][0](MT.from_tensor(torch.tensor(v, dtype=torch.float64), device)), expected)

    def test_past_the_exact_cap_residues_are_those_of_a_pair_of_the_value(self, device):
        expected = series("exp", captured(0.3), 200)
        assert bit_size(expected) > 2 * 8192
        r = kalvex.exp_taylor(MT.from_tensor(torch.tensor(0.3, dtype=torch.float64), device), 200)
        n, d = column(r.num), column(r.denom)
        assert all((a * expected.denominator - b * expected.numerator) % p == 0 for a, b, p in zip(n, d, BASIS))
        assert all(b != 0 for b in d)
        assert r._approx.item() == pytest.approx(float(expected), rel=1e-6)

    @pytest.mark.parametrize("case", ["many elements", "shape 1 x 1", "zero denominator"])
    def test_unreduced_results_follow_the_literal_chain(self, case, device):
        # Only one-element results of shape () or (1,) with a value are reduced.
        if case == "many elements":
            pairs = [(1, 3), (-2, 5), (7, 4)]
            x = MT(torch.tensor([residues(n) for n, _ in pairs]).T.contiguous().to(device),
                   torch.tensor([residues(d) for _, d in pairs]).T.contiguous().to(device),
                   None, torch.tensor([n / d for n, d in pairs]).to(device))
        elif case == "shape 1 x 1":
            pairs, x = [(2, 4)], MT.from_fraction(2, 4, (1, 1), device)
        else:
            pairs, x = [(3, 0)], mt(3, device) / MT.zeros((), device)  # 3/0: no value to reduce
        for name, terms in (("exp", 6), ("sqrt", 5)):
            r = SERIES[name][0](x, terms)
            assert r.shape == x.shape
            num, den = r.num.reshape(len(BASIS), -1), r.denom.reshape(len(BASIS), -1)
            for i, pair in enumerate(pairs):
                n, d = chain(name, pair, terms)
                assert (num[:, i].tolist(), den[:, i].tolist()) == (residues(n), residues(d))
                if case == "many elements":  # the pairs read back as the exact values
                    assert value(MT(num[:, i:i + 1], den[:, i:i + 1])) == series(name, Fraction(*pair), terms)
                    assert r._approx[i].item() == pytest.approx(float(series(name, Fraction(*pair), terms)), rel=1e-5)


class TestNewton:
    def test_no_step_returns_the_captured_seed(self, device):
        r = kalvex.sqrt_newton(mt(4, device), 0)
        assert (column(r.num), column(r.denom)) == (residues(2 * SCALE), residues(SCALE))
        assert r._approx.item() == 2.0
        assert_reduced(kalvex.sqrt_newton(mt(4, device), 3), Fraction(2))

    @pytest.mark.parametrize("a", [Fraction(2), Fraction(5, 3), Fraction(1, 1000), Fraction(10**6 + 1)])
    def test_steps_stop_at_max_bits(self, a, device):
        t = mt(a, device)
        x0 = float_seed(t._approx)
        for max_bits in (0, 120, 500, 2000):
            expected = newton_fraction(a, x0, 10, max_bits)
            r = kalvex.sqrt_newton(t, 10, max_bits)
            if expected == x0:
                assert value(r) == x0
            else:
                assert_reduced(r, expected)
        # with the default bound the result reads back and is accurate
        r = value(kalvex.sqrt_newton(t))
        assert bit_size(r) <= 500 and abs(r ** 2 - a) / a < Fraction(1, 10**30)

    def test_unbounded_steps_stay_exact(self, device):
        expected = newton_fraction(Fraction(2), float_seed(mt(2, "cpu")._approx), 6, 10**9)
        assert bit_size(expected) > 1500
        assert_reduced(kalvex.sqrt_newton(mt(2, device), 6, 10**40), expected)

    def test_seeds_without_a_usable_view(self, device):
        # zero and negative views start at the floor of the clamp
        floor = float_seed(torch.tensor(0.0))
        for a in (Fraction(0), Fraction(-3)):
            assert value(kalvex.sqrt_newton(mt(a, device), 2)) == newton_fraction(a, floor, 2)
        # without an approximation the seed comes from the residues
        t = mt(Fraction(9, 4), device)
        r = kalvex.sqrt_newton(MT(t.num, t.denom), 3)
        assert r.shape == () and value(r) == Fraction(3, 2)

    def test_many_elements_take_the_planned_steps(self, device):
        a = MT.from_tensor(torch.tensor([2.0, 3.0, 0.25], dtype=torch.float64), device)
        seeds = [float_seed(torch.tensor(v)) for v in a._approx.tolist()]
        values = [captured(v) for v in (2.0, 3.0, 0.25)]
        bound, s_a = max(map(bit_size, seeds)), max(map(bit_size, values))
        steps = 0
        while steps < 10 and 2 * bound + s_a + 2 <= 500:
            bound, steps = 2 * bound + s_a + 2, steps + 1
        assert steps == 3
        r = kalvex.sqrt_newton(a)
        assert r.shape == (3,)
        for i, (v, x0) in enumerate(zip(values, seeds)):
            assert value(MT(r.num[:, i:i + 1], r.denom[:, i:i + 1])) == newton_fraction(v, x0, steps, 10**9)

    def test_seeds_are_the_same_on_every_torch(self, device):
        # torch 2's CPU sqrt is an ulp off for these roots (and about one float32 in five): the seed is
        # the correctly rounded root, as torch 1.13 and CUDA give it, however many elements there are.
        values = [19.0, 34.0, 37.0, 42.0, 43.0]
        seeds = [float_seed(torch.tensor(v)) for v in values]
        r = kalvex.sqrt_newton(MT.from_tensor(torch.tensor(values, dtype=torch.float64), device), 0)
        assert [value(MT(r.num[:, i:i + 1], r.denom[:, i:i + 1])) for i in range(len(values))] == seeds
        assert [value(kalvex.sqrt_newton(mt(int(v), device), 0)) for v in values] == seeds

    def test_zero_denominator_follows_the_literal_chain(self, device):
        # 3/0 with a float view of 4: from the captured seed 2, the steps of
        # x = (x + a/x) / 2 on the unreduced pairs, each far below the bound
        bare = mt(3, device) / MT.zeros((), device)
        a = MT(bare.num, bare.denom, None, torch.tensor(4.0).to(device))
        for steps in (1, 4):
            x = (2 * SCALE, SCALE)
            for _ in range(steps):
                x = mul(add(x, mul((3, 0), (x[1], x[0]))), (1, 2))
            r = kalvex.sqrt_newton(a, steps)
            assert (column(r.num), column(r.denom)) == (residues(x[0]), residues(x[1]))
