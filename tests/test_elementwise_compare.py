"""Order comparisons on float views, exact inequality, zero tests and where."""
import pytest
import torch

from support import BASIS, column, residues
from varnix.orvo.kalvex import ModularTensor as MT


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def random_record(shape, seed, device):
    gen = torch.Generator().manual_seed(seed)
    p = torch.tensor(BASIS).view(-1, *([1] * len(shape)))
    num = (torch.rand((20, *shape), generator=gen, dtype=torch.float64) * p).long()
    den = (torch.rand((20, *shape), generator=gen, dtype=torch.float64) * p).long()
    return MT(num.to(device), den.to(device))


def literal_ne(x, y):
    P = x.primes.view(-1, *([1] * len(x.shape)))
    return ~(x.num * y.denom % P == x.denom * y.num % P).all(dim=0)


class TestOrder:
    def test_self_comparisons(self, device):
        x = MT.from_tensor(torch.tensor([-1.5, 0.0, 2.0]), device)
        assert not x.lt(x).any() and x.le(x).all() and not x.gt(x).any() and x.ge(x).all()
        assert not x.ne(x).any()

    def test_values_closer_than_the_float_resolution(self, device):
        one = MT.from_int(1, (), device)
        close = frac(2**60 + 1, 2**60, device)
        assert not bool(one.lt(close)) and bool(one.le(close)) and bool(one.ge(close))
        assert bool(one.ne(close))

    def test_rebuilt_views_and_broadcasting(self, device):
        a = MT(frac(1, 3, device, (2, 1)).num, frac(1, 3, device, (2, 1)).denom)  # no approximation
        b = MT.from_tensor(torch.tensor([[0.0, 0.5, 0.25]]), device)
        got = a.lt(b)
        assert got.dtype == torch.bool and got.shape == (2, 3)
        assert got.tolist() == [[False, True, False]] * 2
        s = MT(frac(1, 3, device).num, frac(1, 3, device).denom)
        assert s.gt(frac(0, 1, device)).shape == (1,)  # the rebuilt view of a 0-d tensor

    def test_other_without_a_float_view(self, device):
        with pytest.raises(AttributeError):
            frac(1, 2, device).lt(0.5)

    def test_subclass_float_view_is_used(self, device):
        class Flipped(MT):
            def to_float(self):
                return -MT.to_float(self)

        x = Flipped(frac(1, 2, device).num, frac(1, 2, device).denom, None, torch.tensor(0.5, device=device))
        assert bool(x.lt(frac(0, 1, device))) and x.argmin() == 0


class TestNotEqual:
    def test_matches_the_literal_formula(self, device):
        x, y = random_record((4, 6), 1, device), random_record((4, 6), 2, device)
        y.num[:, 1] = x.num[:, 1]
        y.denom[:, 1] = x.denom[:, 1]
        assert torch.equal(x.ne(y), literal_ne(x, y))
        assert not x.ne(y)[1].any()

    def test_broadcast_and_strided_operands(self, device):
        x = random_record((3, 1), 3, device)
        y = random_record((1, 5), 4, device)
        assert torch.equal(x.ne(y), literal_ne(x, y))
        t = random_record((5, 3), 5, device)
        yt = MT(t.num.transpose(1, 2), t.denom.transpose(1, 2))
        assert torch.equal(x.ne(yt), literal_ne(x, yt))

    def test_exact_across_representations(self, device):
        assert not bool(frac(1, 2, device).ne(frac(-3, -6, device)))
        assert bool(frac(BASIS[0], 1, device).ne(MT.zeros((), device)))  # equal modulo one prime only

    def test_numbers_and_shapes(self, device):
        x = frac(2, 1, device, (2,))
        assert x.ne(2).tolist() == [False, False] and x.ne(2.9).tolist() == [False, False]
        assert x.ne(3).shape == (2,)
        with pytest.raises(RuntimeError, match="same number of dimensions"):
            x.ne(frac(2, 1, device))


class TestZeroTests:
    def test_results_are_python_bools(self, device):
        x = MT.from_tensor(torch.tensor([1.0, 0.0]), device)
        assert x.all() is False and x.any() is True
        assert MT.zeros((3,), device).any() is False
        assert MT.ones((2, 2), device).all() is True

    def test_a_multiple_of_one_prime_is_not_zero(self, device):
        for p in [BASIS[-1], BASIS[0], BASIS[3] * BASIS[7]]:
            x = MT.from_int(p, (2,), device)
            assert x.all() is True and x.any() is True

    def test_zero_needs_every_residue_zero(self, device):
        x = frac(1, 1, device, (3,))
        num = x.num.clone()
        num[:, 1] = 0
        assert MT(num, x.denom).all() is False
        num[:5, 1] = 1
        assert MT(num, x.denom).all() is True

    def test_empty_tensor(self, device):
        e = MT.from_tensor(torch.zeros(0), device)
        assert e.all() is True and e.any() is False


class TestWhere:
    def test_elements_move_whole(self, device):
        x = frac(1, 3, device, (2, 2))
        y = frac(-5, 7, device, (2, 2))
        cond = torch.tensor([[True, False], [False, True]])
        r = x.where(cond, y)
        assert column(r.num, (0, 0)) == residues(1) and column(r.denom, (0, 0)) == residues(3)
        assert column(r.num, (0, 1)) == residues(-5) and column(r.denom, (0, 1)) == residues(7)
        assert torch.equal(r._approx, torch.where(cond.to(device), x._approx, y._approx))
        assert r.primes is x.primes

    def test_broadcasting(self, device):
        x = frac(1, 3, device, (1, 3))
        y = random_record((2, 3), 6, device)
        cond = torch.tensor([True, False, True])
        r = x.where(cond, y)
        cond_exp = cond.to(device).unsqueeze(0).expand_as(x.num)
        assert r.shape == (2, 3)
        assert torch.equal(r.num, torch.where(cond_exp, x.num, y.num))
        assert torch.equal(r.denom, torch.where(cond_exp, x.denom, y.denom))
        assert r._approx is None
        with pytest.raises(RuntimeError):
            x.where(torch.tensor([True, False]), y)  # the condition must expand to self's shape

    def test_strided_records_and_scalars(self, device):
        t = random_record((4, 5), 7, device)
        x = MT(t.num.transpose(1, 2), t.denom.transpose(1, 2))
        y = random_record((5, 4), 8, device)
        cond = torch.rand(5, 4, generator=torch.Generator().manual_seed(1)) < 0.5
        r = x.where(cond, y)
        cond_exp = cond.to(device).unsqueeze(0).expand_as(x.num)
        assert torch.equal(r.num, torch.where(cond_exp, x.num, y.num))
        s = frac(1, 2, device).where(torch.tensor(False), frac(2, 3, device))
        assert s.to_rational() == (2, 3) and s.shape == ()

    def test_other_basis_is_not_read(self, device):
        x = frac(1, 3, device, (2,))

        class Duck:
            num, denom, _approx = x.num, x.denom, None

        r = x.where(torch.tensor([True, False]), Duck())
        assert r._approx is None and torch.equal(r.num, x.num)
        with pytest.raises(AttributeError):
            x.where(torch.tensor([True, False]), 0.5)
