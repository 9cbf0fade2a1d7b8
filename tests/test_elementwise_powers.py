"""Extremes (max, min, argmax, argmin) and powers (pow, **, square, reciprocal)."""
import random
from fractions import Fraction

import pytest
import torch

from support import BASIS, SCALE, assert_same_float, captured, column, residues
from varnix.orvo.kalvex import ModularTensor as MT


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def value(x, index=()):
    element = MT(x.num[(slice(None),) + index], x.denom[(slice(None),) + index])
    return Fraction(*element.to_rational())


def literal_pow(x, n):
    """Exponentiation by squaring with a simplify after every product."""
    shape, device = tuple(x.shape), str(x.device)
    if n == 0:
        return MT.ones(shape, device)
    if n == 1:
        return x
    if n < 0:
        return MT.ones(shape, device) / literal_pow(x, -n)
    result, base = MT.ones(shape, device), x
    while n > 0:
        if n % 2 == 1:
            result = (result * base).simplify()
        base = (base * base).simplify()
        n //= 2
    return result


def assert_same(got, want):
    assert torch.equal(got.num, want.num) and torch.equal(got.denom, want.denom)
    assert (got._approx is None) == (want._approx is None)
    if want._approx is not None:
        assert_same_float(got._approx, want._approx)


class TestExtremes:
    def test_ties_take_the_first_position(self, device):
        x = frac(1, 1, device, (3,))
        exact = [Fraction(1), Fraction(3), Fraction(3) + Fraction(1, 2**60)]
        num = torch.stack([torch.tensor(residues(v.numerator)) for v in exact], 1)
        den = torch.stack([torch.tensor(residues(v.denominator)) for v in exact], 1)
        t = MT(num.to(device), den.to(device), x.primes, torch.tensor([1.0, 3.0, 3.0], device=device))
        assert t.argmax() == 1 and value(t.max(), (0,)) == 3  # the larger exact value loses
        assert t.argmin() == 0 and value(t.min(), (0,)) == 1

    def test_flat_row_major_position(self, device):
        v = torch.tensor([[0.5, -2.0, 7.0], [7.0, -3.0, 1.0]], dtype=torch.float64)
        t = MT.from_tensor(v, device)
        assert t.argmax() == 2 and t.argmin() == 4
        assert isinstance(t.argmax(), int)
        m = t.min()
        assert m.shape == (1,) and value(m, (0,)) == -3
        assert_same_float(m._approx, torch.tensor([-3.0], device=device))

    def test_shapes_and_approximation(self, device):
        s = frac(-5, 2, device)
        assert s.max().shape == (1,) and value(s.max(), (0,)) == Fraction(-5, 2)
        bare = MT(s.num, s.denom)
        assert bare.max()._approx is None and bare.argmin() == 0

    def test_nan_is_ordered_as_torch_orders_it(self, device):
        view = torch.tensor([1.0, float("nan"), 2.0, float("nan")], device=device)
        t = MT(frac(1, 2, device, (4,)).num, frac(1, 2, device, (4,)).denom, None, view)
        assert t.argmax() == torch.argmax(view).item() and t.argmin() == torch.argmin(view).item()

    def test_random_tensors_pick_the_exact_element(self, device):
        gen = torch.Generator().manual_seed(5)
        v = torch.randn(6, 9, dtype=torch.float64, generator=gen)
        t = MT.from_tensor(v, device)
        i = torch.argmax(v.float().flatten()).item()
        assert value(t.max(), (0,)) == captured(v.flatten()[i].item())

    def test_empty_tensor_raises(self, device):
        with pytest.raises((RuntimeError, IndexError)):
            MT.from_tensor(torch.zeros(0), device).argmax()
        with pytest.raises((RuntimeError, IndexError)):
            MT.from_tensor(torch.zeros(0), device).min()


class TestPowIdentities:
    def test_one_zero_and_negative_one(self, device):
        x = frac(3, 2, device, (2,))
        assert x.pow(1) is x and (x**1) is x
        for base in [x, frac(0, 1, device, (2,))]:
            one = base.pow(0)
            assert one.shape == (2,) and column(one.num, (1,)) == residues(1) and column(one.denom, (1,)) == residues(1)
            assert torch.equal(one._approx.cpu(), torch.ones(2))
        assert_same(x.pow(-1), MT.ones((2,), device) / x)

    def test_exact_values(self, device):
        x = frac(3, 2, device)
        assert x.pow(5).to_rational() == (243, 32) and x.pow(-3).to_rational() == (8, 27)
        assert x.pow(-2).to_rational() == (4, 9)
        assert column((x ** 5).num) == residues(243) and column(x.pow(5).denom) == residues(32)
        assert frac(-2, 4, device, (1,)).pow(3).to_rational() == (-1, 8)

    def test_several_elements_stay_unreduced(self, device):
        x = frac(2, 4, device, (2,))
        c = x.pow(3)
        assert column(c.num, (0,)) == residues(8) and column(c.denom, (1,)) == residues(64)
        assert torch.equal(c._approx.cpu(), torch.full((2,), 0.125))

    def test_square_and_reciprocal(self, device):
        x = frac(2, 3, device, (2,))
        sq = x.square()
        assert column(sq.num, (0,)) == residues(4) and column(sq.denom, (0,)) == residues(9)
        r = x.reciprocal()
        assert column(r.num, (1,)) == residues(3) and column(r.denom, (1,)) == residues(2)
        assert torch.equal(r._approx, 1.0 / x._approx)
        r.num.add_(1)
        assert column(x.denom, (1,)) == residues(3)
        assert MT(x.num, x.denom).reciprocal()._approx is None
        z = frac(0, 1, device).reciprocal()
        assert column(z.denom) == [0] * 20 and torch.isinf(z._approx)


class TestPowAgainstTheChain:
    """A one-element power is one exact computation; it must leave the residues
    and approximation the chain of products and simplifies leaves."""

    def test_random_fractions_in_range(self, device):
        rng = random.Random(11)
        for _ in range(40):
            n = rng.randrange(-(2**20), 2**20)
            d = rng.randrange(1, 2**20)
            e = rng.choice([2, 3, 5, 8, 13, 20, -2, -7])
            x = frac(n, d, device, rng.choice([(), (1,)]))
            assert_same(x.pow(e), literal_pow(x, e))

    def test_float_captured_values_read_back_exactly(self, device):
        for v, e in [(1.1, 10), (-0.3, 9), (0.75, 40), (2.0**-30, 18), (-1e-5, 7)]:
            x = MT.from_tensor(torch.tensor(v, dtype=torch.float64), device)
            assert Fraction(*x.pow(e).to_rational()) == captured(v) ** e

    def test_beyond_the_read_back_range_the_residues_are_exact(self, device):
        # 0.1 captured has a 49-bit numerator over 2^52: its 20th power needs
        # about 1000 bits, past what can be read back.
        x = MT.from_tensor(torch.tensor(0.1, dtype=torch.float64), device)
        want = captured(0.1) ** 20
        got = x.pow(20)
        assert column(got.num) == residues(want.numerator) and column(got.denom) == residues(want.denominator)
        assert got._approx.item() == pytest.approx(float(want), rel=1e-6)

    def test_huge_exponents(self, device):
        n = 10**20 + 1
        x = frac(-3, 2, device)
        got = x.pow(n)
        assert column(got.num) == [(-pow(3, n, p)) % p for p in BASIS]
        assert column(got.denom) == [pow(2, n, p) for p in BASIS]
        assert got._approx.item() == float("-inf")
        assert frac(1, 2, device).pow(10**6)._approx.item() == 0.0
        assert frac(-1, 1, device).pow(10**30 + 1).to_rational() == (-1, 1)
        assert frac(1, 1, device).pow(-(10**30)).to_rational() == (1, 1)
        assert frac(-7, 7, device).pow(2**1100 + 1)._approx.item() == -1.0  # n beyond the double range
        close = MT.from_fraction(2**40 + 1, 2**40, (), device).pow(2**38)  # (1 + 2^-40)^(2^38) = e^(1/4)
        assert close._approx.item() == pytest.approx(1.2840254166877414, rel=1e-6)

    def test_zero_denominator_follows_the_chain(self, device):
        z = frac(3, 2, device) / MT.zeros((), device)
        for e in [2, 3, 6, -3]:
            assert_same(z.pow(e), literal_pow(z, e))

    def test_values_that_do_not_read_back_follow_the_chain(self, device):
        gen = torch.Generator().manual_seed(2)
        column_p = torch.tensor(BASIS)
        noise = MT((torch.rand(20, generator=gen, dtype=torch.float64) * column_p).long().to(device),
                   (torch.rand(20, generator=gen, dtype=torch.float64) * column_p).long().to(device))
        for e in [2, 5, -2]:
            assert_same(noise.pow(e), literal_pow(noise, e))

    def test_several_elements_match_the_chain(self, device):
        gen = torch.Generator().manual_seed(4)
        x = MT.from_tensor(torch.randn(3, 4, dtype=torch.float64, generator=gen), device)
        for e in [2, 7, 16, -3]:
            assert_same(x.pow(e), literal_pow(x, e))
        one_by_one = MT.from_fraction(5, 3, (1, 1), device)  # one element, but not a readable shape
        assert_same(one_by_one.pow(9), literal_pow(one_by_one, 9))

    def test_exponent_beyond_64_bits_on_several_elements(self, device):
        x = frac(3, 5, device, (2,))
        n = 2**64 + 3
        got = x.pow(n)
        assert column(got.num, (0,)) == [pow(3, n, p) for p in BASIS]
        assert column(got.denom, (1,)) == [pow(5, n, p) for p in BASIS]

    def test_another_prime_basis_is_refused(self, device):
        x = frac(3, 2, device)
        other = MT(x.num, x.denom, torch.tensor(BASIS[::-1], device=device))
        with pytest.raises(ValueError, match="different prime bases"):
            other.pow(2)
