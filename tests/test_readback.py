"""Reading values back: to_rational, simplify, to_decimal, to_float.

Inputs are built straight from residues computed here with Python's %, and
every expectation comes from fractions.Fraction, never from the library.
"""
import decimal
import math
import random
from fractions import Fraction

import pytest
import torch

from varnix.orvo.kalvex import PRIMES, ModularTensor

STANDARD = PRIMES.tolist()
M = math.prod(STANDARD)


def first_primes_below(limit, count):
    found, n = [], limit - 1
    while len(found) < count:
        if n % 2 and all(n % k for k in range(3, math.isqrt(n) + 1, 2)):
            found.append(n)
        n -= 1
    return found


OTHER = first_primes_below(2**30, 20)


def rows(values, primes):
    """int64 [len(primes), len(values)] residues of Python ints."""
    return torch.tensor([[v % p for v in values] for p in primes], dtype=torch.int64)


def make(pairs, shape, device, primes=STANDARD):
    """A tensor holding the (num, den) pairs as given, unreduced."""
    num = rows([n for n, _ in pairs], primes).reshape([len(primes), *shape])
    den = rows([d for _, d in pairs], primes).reshape([len(primes), *shape])
    basis = None if primes is STANDARD else torch.tensor(primes)
    return ModularTensor(num.to(device), den.to(device), basis)


def scalar(num, den, device, shape=(), primes=STANDARD):
    return make([(num, den)], shape, device, primes)


def unreduced_sum(fractions, primes):
    """Residues of N = sum n_i prod_{j!=i} d_j and D = prod d_j, built as the
    library's addition builds them: pairwise cross-multiplication mod p."""
    num, den = [], []
    for p in primes:
        a, b = fractions[0].numerator % p, fractions[0].denominator % p
        for f in fractions[1:]:
            c, d = f.numerator % p, f.denominator % p
            a, b = (a * d + c * b) % p, (b * d) % p
        num.append(a)
        den.append(b)
    return num, den


def from_residues(num, den, device, primes=STANDARD):
    basis = None if primes is STANDARD else torch.tensor(primes)
    return ModularTensor(torch.tensor(num).to(device), torch.tensor(den).to(device), basis)


def float32_of(num, den):
    return torch.tensor(0.0 if den == 0 else float(num) / float(den), dtype=torch.float32)


def captured(rng, count):
    """Float-captured values: integers over 2^52 that rarely cancel."""
    return [Fraction(rng.randrange(-2**62, 2**62), 2**52) for _ in range(count)]


class TestScalarShapes:
    @pytest.mark.parametrize("shape", [(), (1,)])
    def test_one_element_shapes_are_read(self, device, shape):
        t = scalar(6, 4, device, shape)
        assert t.to_rational() == (3, 2)
        assert t.to_decimal() == decimal.Decimal("1.5")
        s = t.simplify()
        assert s is not t and tuple(s.shape) == shape and s.device == t.device

    @pytest.mark.parametrize("shape", [(2,), (1, 1), (0,)])
    def test_other_shapes_are_refused(self, device, shape):
        n = math.prod(shape)
        t = make([(1, 2)] * n, shape, device)
        for method in (t.to_rational, t.to_decimal):
            with pytest.raises(ValueError, match=r"^to_rational\(\) only works for scalar tensors$"):
                method()
        assert t.simplify() is t

    def test_shape_is_tested_before_residues_are_read(self, device):
        t = make([(1, 2)] * 2, (2,), device)
        t.primes = "not a tensor"
        with pytest.raises(ValueError):
            t.to_rational()


class TestExactValues:
    @pytest.mark.parametrize(
        "stored, expected",
        [((2, 4), (1, 2)), ((-3, 4), (-3, 4)), ((3, -4), (-3, 4)), ((-6, -4), (3, 2)),
         ((0, 5), (0, 1)), ((0, -7), (0, 1)), ((2**200 * 3, 2**200 * -9), (-1, 3))],
    )
    def test_reduced_with_positive_denominator(self, device, stored, expected):
        t = scalar(*stored, device)
        assert t.to_rational() == expected
        s = t.simplify()
        num, den = expected
        assert torch.equal(s.num.cpu(), rows([num], STANDARD).view(20))
        assert torch.equal(s.denom.cpu(), rows([den], STANDARD).view(20))
        assert s._approx.dtype == torch.float32 and s._approx.item() == float32_of(num, den).item()

    def test_half_modulus_boundary(self, device):
        half = M // 2
        assert scalar(half, 1, device).to_rational() == (half, 1)
        assert scalar(half + 1, 1, device).to_rational() == (-(M - 1) // 2, 1)
        # The denominator is made signed on its own, and its sign moves up.
        assert scalar(5, half + 1, device).to_rational() == (-5, (M - 1) // 2)

    @pytest.mark.parametrize("num, expected", [(5, (1, 0)), (-5, (-1, 0)), (0, (0, 0))])
    def test_zero_denominator(self, device, num, expected):
        t = scalar(num, 0, device)
        assert t.to_rational() == expected
        assert t.simplify() is t
        assert t.to_float().item() == 0.0
        with pytest.raises(decimal.InvalidOperation if num == 0 else decimal.DivisionByZero):
            t.to_decimal()

    def test_decimal_precision_is_set_first_and_kept(self, device):
        decimal.getcontext().prec = 10
        with pytest.raises(ValueError):
            make([(1, 3)] * 2, (2,), device).to_decimal()
        assert decimal.getcontext().prec == 100
        decimal.getcontext().prec = 10
        third = scalar(1, 3, device).to_decimal()
        assert str(third) == "0." + "3" * 100 and decimal.getcontext().prec == 100

    def test_large_genuine_pairs_keep_their_literal_reading(self, device):
        near = 2**600 + 12345
        assert scalar(-3 * near, -3, device).to_rational() == (near, 1)
        # Both above 555 bits but in range: coprime, then with a common factor.
        assert scalar(2**610 + 1, 2**600 + 3, device).to_rational() == (2**610 + 1, 2**600 + 3)
        assert scalar(3 * 2**598, 2**599, device).to_rational() == (3, 2)


class TestGrowthBeyondTheLiteralRange:
    @pytest.mark.parametrize("count", [12, 64, 100, 1000])
    def test_unreduced_sums(self, device, count):
        values = captured(random.Random(count), count)
        exact = sum(values)
        t = from_residues(*unreduced_sum(values, STANDARD), device)
        assert t.to_rational() == (exact.numerator, exact.denominator)
        assert t.simplify().to_rational() == (exact.numerator, exact.denominator)
        decimal.getcontext().prec = 100
        assert t.to_decimal() == decimal.Decimal(exact.numerator) / decimal.Decimal(exact.denominator)
        assert torch.equal(t.to_float().cpu(), float32_of(exact.numerator, exact.denominator).view(1))

    @pytest.mark.parametrize("count", [12, 64, 100, 1000])
    def test_sums_chained_with_the_operators(self, device, count):
        gen = torch.Generator().manual_seed(count)
        x = torch.randn(count, dtype=torch.float64, generator=gen) * 100
        t = ModularTensor.from_tensor(x, device)
        acc = ModularTensor(t.num[:, 0], t.denom[:, 0])
        for i in range(1, count):
            acc = acc + ModularTensor(t.num[:, i], t.denom[:, i])
        exact = sum(Fraction(int(v * 2**52), 2**52) for v in x.tolist())
        assert acc.to_rational() == (exact.numerator, exact.denominator)
        assert acc.simplify().to_rational() == (exact.numerator, exact.denominator)

    def test_products_chained_with_the_operators(self, device):
        # Both unreduced products pass 2^1000; the telescoping value stays small.
        values = [Fraction(k + 1, k) for k in range(1, 200)] + [Fraction(-7, 2**60), Fraction(5, 3)]
        acc = ModularTensor.from_int(1, (), device)
        for v in values:
            acc = acc * ModularTensor.from_fraction(v.numerator, v.denominator, (), device)
        exact = math.prod(values)
        assert exact == Fraction(-7 * 200 * 5, 3 * 2**60)
        assert acc.to_rational() == (exact.numerator, exact.denominator)

    def test_long_products(self, device):
        factors = [Fraction(k + 1, k) for k in range(1, 200)] + [Fraction(-7, 2**60)] * 3
        num, den = math.prod(f.numerator for f in factors), math.prod(f.denominator for f in factors)
        exact = Fraction(num, den)
        assert num.bit_length() > 620 and den.bit_length() > 620
        t = scalar(num, den, device)
        assert t.to_rational() == (exact.numerator, exact.denominator)

    def test_random_round_trips(self, device):
        rng = random.Random(11)
        for _ in range(100):
            # A reduced value within the 64-bit margin behind a pair far beyond M...
            a_bits = rng.randrange(1, 300)
            a, b = rng.randrange(1, 2**a_bits), rng.randrange(1, 2**rng.randrange(1, 550 - a_bits))
            k = rng.randrange(2**600, 2**800)
            exact = Fraction(-a, b)
            assert scalar(-a * k, b * k, device).to_rational() == (exact.numerator, exact.denominator)
            # ...and any pair inside the signed range, read as it is.
            n, d = rng.randrange(-(M // 2), M // 2), rng.randrange(1, M // 2)
            assert scalar(n, d, device).to_rational() == (Fraction(n, d).numerator, Fraction(n, d).denominator)

    def test_float_view_reads_every_element_exactly(self, device):
        rng = random.Random(7)
        sums = [captured(rng, k) for k in (1, 12, 30, 64)]
        num_cols, den_cols = zip(*(unreduced_sum(s, STANDARD) for s in sums))
        t = ModularTensor(torch.tensor(num_cols).T.reshape(20, 2, 2).to(device),
                          torch.tensor(den_cols).T.reshape(20, 2, 2).to(device))
        expected = torch.stack([float32_of(sum(s).numerator, sum(s).denominator) for s in sums]).view(2, 2)
        result = t.to_float()
        assert result.device == t.device and torch.equal(result.cpu(), expected)


class TestFloatView:
    def test_approximation_is_returned_itself(self, device):
        t = scalar(1, 3, device)
        t._approx = torch.tensor(42.0)
        assert t.to_float() is t._approx

    def test_shapes_and_rounding(self, device):
        # 2^100 + 2^76 + 2^47 + 1 rounds up to a double above a float32 tie;
        # truncating it instead would land on the tie and round to 2^100.
        tricky = 2**100 + 2**76 + 2**47 + 1
        pairs = [(-3, 4), (1, 3), (2, 4), (tricky, 1), (M // 2, 1), (7, 0)]
        result = make(pairs, (2, 3), device).to_float()
        assert result.dtype == torch.float32 and result.shape == (2, 3) and result.device.type == device
        assert torch.equal(result.cpu().flatten(), torch.stack([float32_of(n, d) for n, d in pairs]))
        assert result.flatten()[3].item() == 2**100 + 2**77
        assert scalar(-3, 4, device).to_float().shape == (1,)


class TestOtherBasis:
    def test_reads_and_rebuilds_in_the_standard_basis(self, device):
        t = scalar(14, -6, device, primes=OTHER)
        assert t.to_rational() == (-7, 3)
        assert t.to_float().item() == float32_of(-7, 3).item()
        s = t.simplify()
        assert s.primes.tolist() == STANDARD and s.to_rational() == (-7, 3)

    def test_growth_in_another_basis(self, device):
        values = captured(random.Random(3), 12)
        exact = sum(values)
        other_m = math.prod(OTHER)
        assert 2 * math.prod(v.denominator for v in values) > other_m  # the literal reading overflows
        t = from_residues(*unreduced_sum(values, OTHER), device, primes=OTHER)
        assert t.to_rational() == (exact.numerator, exact.denominator)

    def test_repeated_prime_fails_cleanly(self, device):
        basis = STANDARD[:19] + STANDARD[:1]
        t = scalar(1, 2, device, primes=basis)
        with pytest.raises(ValueError, match="not invertible"):
            t.to_rational()
        assert t.simplify() is t


def crt_signed(residues, primes):
    """The signed CRT reading of residues, computed here with Python ints."""
    m = math.prod(primes)
    v = sum(r * (m // p) * pow(m // p, -1, p) for r, p in zip(residues, primes)) % m
    return v - m if v > m // 2 else v


def expect_value(t, exact):
    """t reads back as the Fraction `exact` through every read-back path."""
    assert t.to_rational() == (exact.numerator, exact.denominator)
    decimal.getcontext().prec = 100
    assert t.to_decimal() == decimal.Decimal(exact.numerator) / decimal.Decimal(exact.denominator)
    assert torch.equal(t.to_float().cpu().view(1), float32_of(exact.numerator, exact.denominator).view(1))
    s = t.simplify()
    assert torch.equal(s.num.cpu().view(20), rows([exact.numerator], STANDARD).view(20))
    assert torch.equal(s.denom.cpu().view(20), rows([exact.denominator], STANDARD).view(20))


class TestOneHalfOverflowed:
    """Pairs where one half is genuine and small and the other overflowed."""

    @pytest.mark.parametrize("factors", [12, 13, 40, 90])
    def test_powers_of_a_captured_float(self, device, factors):
        x = ModularTensor.from_tensor(torch.tensor([1 / 64], dtype=torch.float64), device)
        acc = x
        for _ in range(factors - 1):
            acc = acc * x
        acc = ModularTensor(acc.num, acc.denom)  # no approximation: to_float reads the residues
        expect_value(acc, Fraction(1, 2 ** (6 * factors)))

    @pytest.mark.parametrize("num, den", [(2**200, 2**650), (2**650, 2**200), (-3 * 2**500, 2**700),
                                          (7 * 2**700, -(2**300))])
    def test_from_fraction_beyond_the_range(self, device, num, den):
        t = ModularTensor.from_fraction(num, den, (1,), device)
        expect_value(ModularTensor(t.num, t.denom), Fraction(num, den))

    def test_random_pairs_with_one_genuine_half(self, device):
        rng = random.Random(5)
        for _ in range(60):
            small, large = rng.randrange(1, 2**100), rng.randrange(2**250, 2**300)
            k = rng.randrange(2**420, 2**450)
            sign = rng.choice([1, -1])
            # a genuine half of at most 555 bits over an overflowed one, and the reverse
            for n, d in [(sign * small * k, large * k), (sign * large * k, small * k)]:
                assert min(n.bit_length(), d.bit_length()) <= 555 < max(n.bit_length(), d.bit_length()) - 64
                exact = Fraction(n, d)
                assert scalar(n, d, device).to_rational() == (exact.numerator, exact.denominator)

    @pytest.mark.parametrize("num, den", [(M // 2, 1), (M // 2, 2), (1, M // 2), (-(M // 2), 7), (M // 2 - 1, 3)])
    def test_genuine_pairs_near_the_modulus_keep_their_reading(self, device, num, den):
        # Each is congruent to a small fraction (M // 2 is -1/2) that does not
        # divide its genuine small half.
        exact = Fraction(num, den)
        assert scalar(num, den, device).to_rational() == (exact.numerator, exact.denominator)


class TestBasisPrimeDenominators:
    """Denominators with a basis prime as a factor have residue 0 in its row."""

    @pytest.mark.parametrize("index", [0, 7, 19])
    def test_one_over_a_basis_prime_after_growth(self, device, index):
        p = STANDARD[index]
        big = ModularTensor.from_fraction(2**320, 2**320, (), device)
        t = ModularTensor.from_fraction(1, p, (), device) + big - big
        assert t.denom[index].item() == 0
        expect_value(ModularTensor(t.num, t.denom), Fraction(1, p))

    def test_overflowed_pairs(self, device):
        rng = random.Random(9)
        for _ in range(40):
            basis_part = math.prod(rng.sample(STANDARD, rng.randrange(1, 4)))
            c, q = rng.randrange(-2**100, 2**100), rng.randrange(1, 2**100)
            k = rng.randrange(2**640, 2**700)
            exact = Fraction(c, basis_part * q)
            assert scalar(c * k, basis_part * q * k, device).to_rational() == (exact.numerator, exact.denominator)

    def test_float_view_of_such_elements(self, device):
        p, k = STANDARD[3], 3**500
        pairs = [(5 * k, p * k), (2**200, 2**650), (-(2**650), 3 * 2**200), (1, 3)]
        expected = torch.stack([float32_of(Fraction(n, d).numerator, Fraction(n, d).denominator) for n, d in pairs])
        assert torch.equal(make(pairs, (4,), device).to_float().cpu(), expected)

    def test_rows_left_out_must_agree(self, device):
        # Denominator residues 3, except 0 in the first row: on the other rows
        # the pair is congruent to 1/3, but 3 * 1 is not 0 modulo the first
        # prime, so 1/3 is refused and the stored pair is read literally.
        num = [1] * 20
        den = [0] + [3] * 19
        n, d = crt_signed(num, STANDARD), crt_signed(den, STANDARD)
        exact = Fraction(n, d)
        assert from_residues(num, den, device).to_rational() == (exact.numerator, exact.denominator)
