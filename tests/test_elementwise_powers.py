"""Extremes (max, min, argmax, argmin) and powers (pow, **, square, reciprocal)."""
import random
from fractions import Fraction

import pytest
import torch

from support import (BASIS, assert_same, assert_same_float, captured, column, literal_pow, pairs_of, residues,
                     tensor_of, values_of)
from varnix.orvo.kalvex import ModularTensor as MT


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def test_extremes_decide_on_the_view_and_ties_exactly(device):
    t = tensor_of([Fraction(1), Fraction(3), Fraction(3) + Fraction(1, 2**60)], device)  # views 1.0, 3.0, 3.0
    assert t.argmax() == 2 and values_of(t.max()) == [Fraction(3) + Fraction(1, 2**60)]  # the tie, exactly
    assert t.argmin() == 0 and values_of(t.min()) == [1]
    t = tensor_of([Fraction(2), Fraction(3), Fraction(3), Fraction(1)], device)
    assert t.argmax() == 1 and t.argmin() == 3  # exactly equal: the first position
    t = MT.from_tensor(torch.tensor([[0.5, -2.0, 7.0], [7.0, -3.0, 1.0]], dtype=torch.float64), device)
    assert t.argmax() == 2 and t.argmin() == 4 and isinstance(t.argmax(), int)  # flat, row-major
    m = t.min()
    assert m.shape == (1,) and values_of(m) == [-3]
    assert_same_float(m._approx, torch.tensor([-3.0], device=device))
    s = frac(-5, 2, device)
    assert s.max().shape == (1,) and values_of(s.max()) == [Fraction(-5, 2)]
    assert MT(s.num, s.denom).max()._approx is None and MT(s.num, s.denom).argmin() == 0
    # Views that decide nothing (NaN, infinities, 0) are compared exactly.
    values = [Fraction(1, 2), Fraction(7), Fraction(2), Fraction(-5), Fraction(3, 2)]
    view = torch.tensor([1.0, float("nan"), 2.0, 0.0, float("inf")], device=device)
    t = MT(*(tensor_of(values, device).num, tensor_of(values, device).denom), None, view)
    assert t.argmax() == 1 and t.argmin() == 3 and values_of(t.max()) == [7]
    for extreme in (MT.argmax, MT.min):
        with pytest.raises((RuntimeError, IndexError)):
            extreme(MT.from_tensor(torch.zeros(0), device))


def test_pow_identities_square_and_reciprocal(device):
    x = frac(3, 2, device, (2,))
    assert x.pow(1) is x and (x**1) is x
    for base in [x, frac(0, 1, device, (2,))]:
        one = base.pow(0)
        assert pairs_of(one) == [(1, 1)] * 2 and torch.equal(one._approx.cpu(), torch.ones(2))
    assert_same(x.pow(-1), MT.ones((2,), device) / x)
    c = frac(2, 4, device, (2,)).pow(3)  # several elements: residue by residue, unreduced
    assert pairs_of(c) == [(8, 64)] * 2 and torch.equal(c._approx.cpu(), torch.full((2,), 0.125))
    x = frac(2, 3, device, (2,))
    r = x.reciprocal()
    assert pairs_of(x.square()) == [(4, 9)] * 2 and pairs_of(r) == [(3, 2)] * 2
    assert torch.equal(r._approx, 1.0 / x._approx) and MT(x.num, x.denom).reciprocal()._approx is None
    r.num.add_(1)
    assert column(x.denom, (1,)) == residues(3)  # the result owns its residues
    z = frac(0, 1, device).reciprocal()
    assert column(z.denom) == [0] * 20 and torch.isinf(z._approx)
    with pytest.raises(ValueError, match="different prime bases"):  # the chain starts from ones in the standard one
        MT(z.num, z.denom, torch.tensor(BASIS[::-1], device=device)).pow(2)


def test_pow_exact_values(device):
    x = frac(3, 2, device)
    assert x.pow(5).to_rational() == (243, 32) and pairs_of(x**5) == (243, 32)
    assert x.pow(-3).to_rational() == (8, 27) and x.pow(-2).to_rational() == (4, 9)
    assert frac(-2, 4, device, (1,)).pow(3).to_rational() == (-1, 8)
    for v, e in [(1.1, 10), (-0.3, 9), (0.75, 40), (2.0**-30, 18), (-1e-5, 7)]:
        x = MT.from_tensor(torch.tensor(v, dtype=torch.float64), device)
        assert Fraction(*x.pow(e).to_rational()) == captured(v) ** e
    # 0.1 captured has a 49-bit numerator over 2^52: its 20th power (about 1000 bits) does not read back.
    want, got = captured(0.1) ** 20, MT.from_tensor(torch.tensor(0.1, dtype=torch.float64), device).pow(20)
    assert column(got.num) == residues(want.numerator) and column(got.denom) == residues(want.denominator)
    assert got._approx.item() == pytest.approx(float(want), rel=1e-6)


def test_pow_huge_exponents(device):
    n = 10**20 + 1
    got = frac(-3, 2, device).pow(n)
    assert column(got.num) == [(-pow(3, n, p)) % p for p in BASIS]
    assert column(got.denom) == [pow(2, n, p) for p in BASIS]
    assert got._approx.item() == float("-inf")
    assert frac(1, 2, device).pow(10**6)._approx.item() == 0.0
    assert frac(-1, 1, device).pow(10**30 + 1).to_rational() == (-1, 1)
    assert frac(1, 1, device).pow(-(10**30)).to_rational() == (1, 1)
    assert frac(-7, 7, device).pow(2**1100 + 1)._approx.item() == -1.0  # n beyond the double range
    close = MT.from_fraction(2**40 + 1, 2**40, (), device).pow(2**38)  # (1 + 2^-40)^(2^38) = e^(1/4)
    assert close._approx.item() == pytest.approx(1.2840254166877414, rel=1e-6)
    n = 2**64 + 3  # on several elements: past the residue kernel's exponent
    got = frac(3, 5, device, (2,)).pow(n)
    assert column(got.num, (0,)) == [pow(3, n, p) for p in BASIS]
    assert column(got.denom, (1,)) == [pow(5, n, p) for p in BASIS]


def test_pow_matches_the_chain_of_products(device):
    """Every short cut must leave the residues and approximation the chain leaves."""
    rng = random.Random(11)
    cases = [(frac(rng.randrange(-(2**20), 2**20), rng.randrange(1, 2**20), device, rng.choice([(), (1,)])),
              [rng.choice([2, 3, 5, 8, 13, 20, -2, -7])]) for _ in range(40)]  # values that read back
    gen = torch.Generator().manual_seed(2)
    beyond = MT.from_fraction(3**400, 7**200, (), device)  # its integers are known to exceed the range
    cases += [(frac(3, 2, device) / MT.zeros((), device), [2, 3, 6, -3]),  # a zero denominator
              (beyond, [2, 5, -2]),  # a value that does not read back
              (MT.from_tensor(torch.randn(3, 4, dtype=torch.float64, generator=gen), device), [2, 7, 16, -3]),
              (MT.from_fraction(5, 3, (1, 1), device), [9])]  # one element, but not a readable shape
    for x, exponents in cases:
        for e in exponents:
            assert_same(x.pow(e), literal_pow(x, e))
