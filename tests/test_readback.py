"""Reading values back: to_rational, simplify, to_decimal, to_float.

Inputs are built straight from residues computed here with Python's %, and
every expectation comes from fractions.Fraction, never from the library.
"""
import decimal
import functools
import math
import operator
import random
from fractions import Fraction

import pytest
import torch

from support import BASIS, residues
from varnix.orvo.kalvex import ModularTensor as MT

M = math.prod(BASIS)
HALF = M // 2
# Another basis: the 20 largest primes below 2^30.
OTHER = [n for n in range(2**30 - 1, 2**30 - 1000, -2) if all(n % k for k in range(3, math.isqrt(n) + 1, 2))][:20]
SCALAR_MESSAGE = r"^to_rational\(\) only works for scalar tensors$"


def make(pairs, shape, device, primes=BASIS):
    """A tensor holding the (num, den) pairs exactly as given, unreduced."""
    def rows(values):
        return torch.tensor([[v % p for v in values] for p in primes]).reshape(len(primes), *shape).to(device)
    basis = None if primes is BASIS else torch.tensor(primes)
    return MT(rows([n for n, _ in pairs]), rows([d for _, d in pairs]), basis)


def scalar(num, den, device, primes=BASIS, shape=()):
    return make([(num, den)], shape, device, primes)


def pair(f):
    return f.numerator, f.denominator


def float32_of(num, den):
    return torch.tensor(0.0 if den == 0 else float(Fraction(num, den)), dtype=torch.float32)


def expect_value(t, exact):
    """t reads back as the Fraction `exact` through every read-back path."""
    n, d = pair(exact)
    assert t.to_rational() == (n, d)
    decimal.getcontext().prec = 10
    assert t.to_decimal() == decimal.Context(prec=100).divide(decimal.Decimal(n), decimal.Decimal(d))
    assert decimal.getcontext().prec == 100  # set to 100 for the read, and left so
    assert torch.equal(t.to_float().cpu().view(1), float32_of(n, d).view(1))
    s = t.simplify()
    assert s is not t and s.shape == t.shape and s.device == t.device and s.primes.tolist() == BASIS
    assert s.num.cpu().view(20).tolist() == residues(n) and s.denom.cpu().view(20).tolist() == residues(d)
    assert s._approx.dtype == torch.float32 and s._approx.item() == float32_of(n, d).item()


def unreduced_sum(count):
    """N/D of a sum of float-captured values, cross-multiplied pair by pair."""
    rng = random.Random(count)
    values = [Fraction(rng.randrange(-2**62, 2**62) | 1, 2**52) for _ in range(count)]  # odd: none cancels
    den = math.prod(v.denominator for v in values)
    return sum(v.numerator * (den // v.denominator) for v in values), den


def signed(v):
    return v - M if v > HALF else v


NEAR = 2**600 + 12345
# Congruent to 1/3 on every row but the first, where the denominator is 0 and
# 3 * 1 is not: 1/3 must be refused and the stored pair read literally.
ROWS_LEFT_OUT = signed(BASIS[0] * (3 * pow(BASIS[0], -1, M // BASIS[0]) % (M // BASIS[0])))


@pytest.mark.parametrize("stored, expected", [
    ((2, 4), None), ((-3, 4), None), ((3, -4), None), ((-6, -4), None), ((0, 5), None), ((0, -7), None),
    ((2**200 * 3, 2**200 * -9), None),
    # the signed range ends at M // 2; a denominator is made signed on its own and its sign moves up
    ((HALF, 1), None), ((HALF + 1, 1), Fraction(-HALF)), ((5, HALF + 1), Fraction(-5, HALF)),
    # near the modulus each is congruent to a small fraction (M // 2 is -1/2) that must not win
    ((HALF, 2), None), ((1, HALF), None), ((-HALF, 7), None), ((HALF - 1, 3), None),
    # genuine pairs above 555 bits but in range: coprime, with a common factor, one half beyond
    ((-3 * NEAR, -3), None), ((2**610 + 1, 2**600 + 3), None), ((3 * 2**598, 2**599), None),
    ((1, ROWS_LEFT_OUT), None),
])
def test_pairs_in_the_signed_range_read_as_stored(device, stored, expected):
    for shape in [(), (1,)]:
        expect_value(scalar(*stored, device, shape=shape), expected or Fraction(*stored))


@pytest.mark.parametrize("shape", [(2,), (1, 1), (0,)])
def test_other_shapes_are_refused(device, shape):
    t = make([(1, 2)] * math.prod(shape), shape, device)
    assert t.simplify() is t
    t.primes = "not a tensor"  # the shape is tested before anything else is read
    decimal.getcontext().prec = 10
    for method in (t.to_rational, t.to_decimal):
        with pytest.raises(ValueError, match=SCALAR_MESSAGE):
            method()
    assert decimal.getcontext().prec == 100  # set before the read fails


@pytest.mark.parametrize("num, expected", [(5, (1, 0)), (-5, (-1, 0)), (0, (0, 0))])
def test_zero_denominator(device, num, expected):
    t = scalar(num, 0, device)
    assert t.to_rational() == expected and t.simplify() is t and t.to_float().item() == 0.0
    with pytest.raises(decimal.InvalidOperation if num == 0 else decimal.DivisionByZero):
        t.to_decimal()


@pytest.mark.parametrize("count, primes", [(12, BASIS), (64, BASIS), (100, BASIS), (1000, BASIS), (1, OTHER),
                                           (12, OTHER)], ids=["12", "64", "100", "1000", "1-other", "12-other"])
def test_unreduced_sums(device, count, primes):
    num, den = unreduced_sum(count)
    assert count == 1 or 2 * den > math.prod(primes)  # the literal reading overflows
    expect_value(scalar(num, den, device, primes), Fraction(num, den))


def power_of_a_64th(k, device):
    """A genuine numerator over a denominator that overflowed."""
    x = MT.from_tensor(torch.tensor([1 / 64], dtype=torch.float64), device)
    return functools.reduce(operator.mul, [x] * k), Fraction(1, 2 ** (6 * k))


def one_over_a_basis_prime(index, device):
    """Residue 0 in that prime's denominator row, after growth."""
    big = MT.from_fraction(2**320, 2**320, (), device)
    t = MT.from_fraction(1, BASIS[index], (), device) + big - big
    assert t.denom[index].item() == 0
    return t, Fraction(1, BASIS[index])


def from_fraction(pair, device):
    return MT.from_fraction(*pair, (1,), device), Fraction(*pair)


def telescoping_product(_, device):
    """Both unreduced halves pass 2^1000; the value stays small."""
    values = [Fraction(k + 1, k) for k in range(1, 200)] + [Fraction(-7, 2**60)] * 3 + [Fraction(5, 3)]
    factors = [MT.from_fraction(v.numerator, v.denominator, (), device) for v in values]
    return functools.reduce(operator.mul, factors), math.prod(values)


@pytest.mark.parametrize("build, arg", [
    (power_of_a_64th, 12), (power_of_a_64th, 13), (power_of_a_64th, 40), (power_of_a_64th, 90),
    (one_over_a_basis_prime, 0), (one_over_a_basis_prime, 7), (one_over_a_basis_prime, 19),
    (from_fraction, (2**200, 2**650)), (from_fraction, (2**650, 2**200)), (from_fraction, (-3 * 2**500, 2**700)),
    (from_fraction, (7 * 2**700, -(2**300))), (telescoping_product, None),
])
def test_values_grown_by_the_operators(device, build, arg):
    t, exact = build(arg, device)
    expect_value(MT(t.num, t.denom), exact)  # without the approximation, to_float reads the residues


def test_random_pairs(device):
    rng = random.Random(11)
    for _ in range(60):
        a_bits = rng.randrange(1, 300)
        a, b = rng.randrange(1, 2**a_bits), rng.randrange(1, 2**rng.randrange(1, 550 - a_bits))
        small, large, sign = rng.randrange(1, 2**100), rng.randrange(2**250, 2**300), rng.choice([1, -1])
        c, q = rng.randrange(-2**100, 2**100), rng.randrange(1, 2**100)
        k, k2 = rng.randrange(2**600, 2**800), rng.randrange(2**420, 2**450)
        cases = [
            (-a * k, b * k),  # a reduced value within the 64-bit margin behind a pair far beyond M
            (rng.randrange(-HALF, HALF), rng.randrange(1, HALF)),  # any pair in the signed range, read as it is
            (sign * small * k2, large * k2), (sign * large * k2, small * k2),  # one genuine half (<= 555 bits)
            (c * k, math.prod(rng.sample(BASIS, rng.randrange(1, 4))) * q * k),  # basis primes in the denominator
        ]
        for n, d in cases:
            assert scalar(n, d, device).to_rational() == pair(Fraction(n, d)), (n, d)


def test_float_view_reads_every_element(device):
    # 2^100 + 2^76 + 2^47 + 1 rounds up to a double above a float32 tie;
    # truncating it instead would land on the tie and round to 2^100.
    tricky = 2**100 + 2**76 + 2**47 + 1
    p, k = BASIS[3], 3**500
    pairs = [(-3, 4), (1, 3), (2, 4), (tricky, 1), (HALF, 1), (7, 0), (5 * k, p * k), (2**200, 2**650),
             (-(2**650), 3 * 2**200)] + [unreduced_sum(k) for k in (1, 12, 64)]
    t = make(pairs, (3, 4), device)
    result = t.to_float()
    assert result.dtype == torch.float32 and result.shape == (3, 4) and result.device == t.device
    assert torch.equal(result.cpu().flatten(), torch.stack([float32_of(n, d) for n, d in pairs]))
    assert result.flatten()[3].item() == 2**100 + 2**77
    assert scalar(-3, 4, device).to_float().shape == (1,)
    t._approx = torch.tensor(42.0)
    assert t.to_float() is t._approx


def test_repeated_prime_fails_cleanly(device):
    t = scalar(1, 2, device, primes=BASIS[:19] + BASIS[:1])
    with pytest.raises(ValueError, match="not invertible"):
        t.to_rational()
    assert t.simplify() is t
