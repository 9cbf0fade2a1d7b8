"""Taylor series and Newton's square root: exact values against Fraction
recurrences, residues against the step-by-step chain, counts, argument types,
and the bound on Newton steps."""
import math
from decimal import Decimal, getcontext
from fractions import Fraction

import pytest
import torch

from support import BASIS, SCALE, captured, column, residues
from varnix.orvo import kalvex
from varnix.orvo.kalvex import ModularTensor as MT

M = math.prod(BASIS)


def value(t):
    return Fraction(*t.to_rational())


def mt(f, device, shape=()):
    f = Fraction(f)
    return MT.from_fraction(f.numerator, f.denominator, shape, device)


def assert_reduced(t, f, index=()):
    """t holds f in lowest terms, with the approximation the constructors give."""
    assert column(t.num, index) == residues(f.numerator)
    assert column(t.denom, index) == residues(f.denominator)
    assert t._approx[index].item() == torch.tensor(float(f), dtype=torch.float32).item()


# ---- Fraction forms of the same recurrences ------------------------------------

def exp_ref(x, terms):
    result = term = Fraction(1)
    for n in range(1, terms):
        term = term * x / n
        result += term
    return result


def sin_ref(x, terms):
    return sum((Fraction((-1) ** n, math.factorial(2 * n + 1)) * x ** (2 * n + 1) for n in range(terms)), Fraction(0))


def cos_ref(x, terms):
    return 1 + sum((Fraction((-1) ** n, math.factorial(2 * n)) * x ** (2 * n) for n in range(1, terms)), Fraction(0))


def log1p_ref(x, terms):
    return sum((Fraction((-1) ** (n + 1), n) * x ** n for n in range(1, terms + 1)), Fraction(0))


def sqrt_ref(a, terms):
    result, coeff = Fraction(1), Fraction(1)
    for n in range(1, terms):
        coeff = coeff * (3 - 2 * n) / (2 * n)
        result += coeff * (a - 1) ** n
    return result


SERIES = {
    "exp": (kalvex.exp_taylor, exp_ref, 20),
    "sin": (kalvex.sin_taylor, sin_ref, 20),
    "cos": (kalvex.cos_taylor, cos_ref, 20),
    "log1p": (kalvex.log1p_taylor, log1p_ref, 30),
    "sqrt": (kalvex.sqrt_taylor, sqrt_ref, 30),
}


def size(f):
    return abs(f.numerator).bit_length() + f.denominator.bit_length()


def newton_ref(a, x0, max_iterations=10, max_bits=500):
    x = x0
    for _ in range(max_iterations):
        if 2 * size(x) + size(a) + 2 > max_bits:
            break
        x = (x + a / x) / 2
    return x


def float_seed(approx):
    """The exact starting point: the float32 root of the clamped float view, captured."""
    return captured(torch.sqrt(torch.clamp(approx, min=1e-10)).item())


# ---- residue pairs, combined as the tensor arithmetic combines them ------------

def pair(n, d):
    return [n % p for p in BASIS], [d % p for p in BASIS]


def p_add(x, y):
    return ([(a * d + b * c) % p for a, b, c, d, p in zip(x[0], x[1], y[0], y[1], BASIS)],
            [(b * d) % p for b, d, p in zip(x[1], y[1], BASIS)])


def p_mul(x, y):
    return ([(a * c) % p for a, c, p in zip(x[0], y[0], BASIS)], [(b * d) % p for b, d, p in zip(x[1], y[1], BASIS)])


def p_div(x, y):
    return p_mul(x, (y[1], y[0]))


def signed_crt(rs):
    v = sum(r * (M // p) * pow(M // p, -1, p) for r, p in zip(rs, BASIS)) % M
    return v - M if v > M // 2 else v


def pair_size(x):
    """s of the fraction a pair reads back as (literal reading)."""
    n, d = signed_crt(x[0]), signed_crt(x[1])
    g = math.gcd(n, d)
    if g > 1:
        n, d = n // g, d // g
    return abs(n).bit_length() + abs(d).bit_length()


def exp_pairs(x, terms):
    result = term = pair(1, 1)
    fact = 1
    for n in range(1, terms):
        term = p_mul(term, x)
        fact *= n
        result = p_add(result, p_mul(term, pair(1, fact)))
    return result


def sqrt_pairs(a, terms):
    one = pair(1, 1)
    x = p_add(a, pair(-1, 1))
    result = power = one
    coeff = Fraction(1)
    for n in range(1, terms):
        coeff = coeff * (3 - 2 * n) / (2 * n)
        power = p_mul(power, x)
        result = p_add(result, p_mul(power, pair(coeff.numerator, coeff.denominator)))
    return result


def element(t, i):
    """Element i of a 1-D tensor as a (1,) tensor, for reading back."""
    return MT(t.num[:, i:i + 1], t.denom[:, i:i + 1])


# ---- tests ------------------------------------------------------------------------

class TestSmallTerms:
    def test_documented_values(self, device):
        assert_reduced(kalvex.exp_taylor(mt(1, device), 3), Fraction(5, 2))
        assert_reduced(kalvex.exp_taylor(MT.zeros((), device)), Fraction(1))
        assert_reduced(kalvex.sin_taylor(mt(Fraction(1, 2), device), 2), Fraction(23, 48))
        assert_reduced(kalvex.sin_taylor(mt(Fraction(1, 2), device), 1), Fraction(1, 2))
        assert_reduced(kalvex.log1p_taylor(mt(Fraction(1, 2), device), 2), Fraction(3, 8))
        assert_reduced(kalvex.sqrt_taylor(mt(Fraction(5, 4), device), 3), Fraction(143, 128))
        x = Fraction(-7, 3)
        assert_reduced(kalvex.cos_taylor(mt(x, device), 1), Fraction(1))
        assert_reduced(kalvex.cos_taylor(mt(x, device), 2), 1 - x * x / 2)

    def test_input_is_reduced_first(self, device):
        # 6/4 is read as 3/2 before the terms are formed
        r = kalvex.exp_taylor(MT.from_fraction(6, 4, (1,), device), 4)
        assert r.shape == (1,) and r.device.type == device
        assert_reduced(r, exp_ref(Fraction(3, 2), 4), (0,))

    @pytest.mark.parametrize("terms", [0, -1, -10**30])
    def test_counts_without_terms(self, terms, device):
        x = mt(Fraction(2, 3), device, (1,))
        expected = {"exp": 1, "sin": 0, "cos": 1, "log1p": 0, "sqrt": 1}
        for name, (fn, _, _) in SERIES.items():
            assert_reduced(fn(x, terms), Fraction(expected[name]), (0,))

    @pytest.mark.parametrize("bad", [True, 3.0, None, "3"])
    def test_counts_must_be_ints(self, bad, device):
        x = mt(1, device)
        for fn, _, _ in SERIES.values():
            with pytest.raises(TypeError, match="Argument 'terms' has incorrect type"):
                fn(x, bad)
        for name in ("max_iterations", "max_bits"):
            with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
                kalvex.sqrt_newton(x, **{name: bad})

    def test_count_too_large_to_run(self, device):
        with pytest.raises(OverflowError):
            kalvex.exp_taylor(mt(1, device), 10**30)


class TestOneElementExactness:
    @pytest.mark.parametrize("name", sorted(SERIES))
    @pytest.mark.parametrize("x", [Fraction(1, 3), Fraction(-5, 7), Fraction(0), Fraction(9, 10)])
    def test_default_terms_match_fractions(self, name, x, device):
        fn, ref, terms = SERIES[name]
        arg = x + 1 if name == "sqrt" else x
        assert_reduced(fn(mt(arg, device)), ref(arg, terms))

    @pytest.mark.parametrize("name", sorted(SERIES))
    def test_beyond_the_read_back_range_residues_stay_exact(self, name, device):
        # a float-captured input: reduced denominators of 2^50 make every
        # sum far larger than 620 bits, yet the residues are those of the
        # true value in lowest terms
        fn, ref, terms = SERIES[name]
        v = 0.3 if name != "sqrt" else 1.3
        expected = ref(captured(v), terms)
        assert size(expected) > 1300
        r = fn(MT.from_tensor(torch.tensor(v, dtype=torch.float64), device))
        assert_reduced(r, expected)

    def test_past_the_exact_cap_residues_are_those_of_a_pair_of_the_value(self, device):
        expected = exp_ref(captured(0.3), 200)
        assert size(expected) > 2 * 8192
        r = kalvex.exp_taylor(MT.from_tensor(torch.tensor(0.3, dtype=torch.float64), device), 200)
        n, d = column(r.num), column(r.denom)
        assert all((a * expected.denominator - b * expected.numerator) % p == 0 for a, b, p in zip(n, d, BASIS))
        assert all(b != 0 for b in d)
        assert r._approx.item() == pytest.approx(float(expected), rel=1e-6)


class TestStepByStep:
    def test_many_elements_match_the_literal_residues(self, device):
        values = [Fraction(1, 3), Fraction(-2, 5), Fraction(7, 4)]
        x = MT(torch.tensor([pair(v.numerator, v.denominator)[0] for v in values]).T.contiguous().to(device),
               torch.tensor([pair(v.numerator, v.denominator)[1] for v in values]).T.contiguous().to(device),
               None, torch.tensor([float(v) for v in values]).to(device))
        r = kalvex.exp_taylor(x, 6)
        s = kalvex.sqrt_taylor(x, 5)
        for i, v in enumerate(values):
            p = pair(v.numerator, v.denominator)
            assert (column(r.num, (i,)), column(r.denom, (i,))) == exp_pairs(p, 6)
            assert (column(s.num, (i,)), column(s.denom, (i,))) == sqrt_pairs(p, 5)
            # the unreduced pairs still read back as the exact values
            assert value(element(r, i)) == exp_ref(v, 6)
            assert value(element(s, i)) == sqrt_ref(v, 5)
        # the approximation is formed term by term from the float views
        ax = x._approx
        term, total = torch.ones(3), torch.ones(3)
        fact = 1
        for n in range(1, 6):
            fact *= n
            term = term * ax
            total = total + term * torch.tensor(float(Fraction(1, fact)), dtype=torch.float32)
        assert torch.equal(r._approx.cpu(), total.cpu())

    def test_shape_one_by_one_is_not_reduced(self, device):
        x = MT.from_fraction(2, 4, (1, 1), device)
        r = kalvex.exp_taylor(x, 3)
        assert r.shape == (1, 1)
        assert (column(r.num, (0, 0)), column(r.denom, (0, 0))) == exp_pairs(pair(2, 4), 3)

    def test_zero_denominator_follows_the_literal_chain(self, device):
        x = mt(3, device) / MT.zeros((), device)  # 3/0: no value to reduce
        r = kalvex.exp_taylor(x, 5)
        assert (column(r.num), column(r.denom)) == exp_pairs(pair(3, 0), 5)
        s = kalvex.sqrt_taylor(x, 4)
        assert (column(s.num), column(s.denom)) == sqrt_pairs(pair(3, 0), 4)


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
            expected = newton_ref(a, x0, 10, max_bits)
            r = kalvex.sqrt_newton(t, 10, max_bits)
            if expected == x0:
                assert value(r) == x0
            else:
                assert_reduced(r, expected)
        # with the default bound the result reads back and is accurate
        assert size(value(kalvex.sqrt_newton(t))) <= 500
        err = abs(value(kalvex.sqrt_newton(t)) ** 2 - a) / a
        assert err < Fraction(1, 10**30)

    def test_unbounded_steps_stay_exact(self, device):
        a = Fraction(2)
        expected = newton_ref(a, float_seed(mt(a, "cpu")._approx), 6, 10**9)
        assert size(expected) > 1500
        assert_reduced(kalvex.sqrt_newton(mt(a, device), 6, 10**40), expected)

    def test_negative_and_zero_views_start_at_the_floor(self, device):
        for a in (Fraction(0), Fraction(-3)):
            t = mt(a, device)
            expected = newton_ref(a, captured(torch.sqrt(torch.tensor(1e-10, dtype=torch.float32)).item()), 2)
            assert value(kalvex.sqrt_newton(t, 2)) == expected

    def test_without_approximation_the_seed_comes_from_the_residues(self, device):
        t = mt(Fraction(9, 4), device)
        bare = MT(t.num, t.denom)  # shape (), no _approx
        r = kalvex.sqrt_newton(bare, 3)
        assert r.shape == () and value(r) == Fraction(3, 2)

    def test_many_elements_take_the_planned_steps(self, device):
        a = MT.from_tensor(torch.tensor([2.0, 3.0, 0.25], dtype=torch.float64), device)
        seeds = [float_seed(torch.tensor(v)) for v in a._approx.tolist()]
        values = [captured(v) for v in (2.0, 3.0, 0.25)]
        bound, s_a = max(map(size, seeds)), max(map(size, values))
        steps = 0
        while steps < 10 and 2 * bound + s_a + 2 <= 500:
            bound, steps = 2 * bound + s_a + 2, steps + 1
        assert steps == 3
        r = kalvex.sqrt_newton(a)
        assert r.shape == (3,)
        for i, (v, x0) in enumerate(zip(values, seeds)):
            assert value(element(r, i)) == newton_ref(v, x0, steps, 10**9)

    def test_zero_denominator_follows_the_literal_chain(self, device):
        bare = mt(3, device) / MT.zeros((), device)
        a = MT(bare.num, bare.denom, None, torch.tensor(4.0).to(device))
        r = kalvex.sqrt_newton(a, 4)
        x = pair(2 * SCALE, SCALE)
        ap = pair(3, 0)
        s_a = 1  # reads back as 1/0
        steps = 0
        for _ in range(4):
            s_x = size(Fraction(2)) if steps == 0 else pair_size(x)
            if 2 * s_x + s_a + 2 > 500:
                break
            x = p_div(p_add(x, p_div(ap, x)), pair(2, 1))
            steps += 1
        assert steps == 4
        assert (column(r.num), column(r.denom)) == x

    def test_std_of_one_to_four(self, device):
        s = MT.from_tensor(torch.tensor([1.0, 2.0, 3.0, 4.0]), device).std()
        getcontext().prec = 100
        assert abs(s.to_decimal() - (Decimal(5) / 3).sqrt()) < Decimal(10) ** -40
