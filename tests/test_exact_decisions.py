"""Signs and orders where the float view cannot decide: ties between
approximations, approximations of 0 that cancellation left, approximations
that are not finite, and one-element tensors.  Every expectation comes from
fractions.Fraction; where the view does decide, it still does."""
import math
from fractions import Fraction

import pytest
import torch

import varnix.orvo.kalvex as kx
from support import BASIS, P, transposed, values_of
from varnix.orvo.kalvex import ModularTensor as MT

BIG = 2**80  # float32 cannot tell BIG + k from BIG for small k


def record(values, views, device):
    """Exact values with the float views given (as an approximation)."""
    num = torch.tensor([[Fraction(v).numerator % p for v in values] for p in BASIS]).view(P, len(values))
    den = torch.tensor([[Fraction(v).denominator % p for v in values] for p in BASIS]).view(P, len(values))
    return MT(num.to(device), den.to(device), None, torch.tensor(views, dtype=torch.float32).to(device))


def cancelled(offsets, device):
    """(BIG + k) - BIG for each k: the exact k, with an approximation of 0."""
    n = len(offsets)
    tops = MT.from_tensor(torch.zeros(n, dtype=torch.float64), device)
    for i, k in enumerate(offsets):
        one = torch.zeros(n, dtype=torch.float64)
        one[i] = 1.0
        tops = tops + MT.from_tensor(one, device) * MT.from_int(BIG + k, (n,), device)
    diff = tops - MT.from_int(BIG, (n,), device)
    assert diff._approx.abs().max().item() < 2**30  # what float32 kept of k: nothing reliable
    return diff


def close_to_one(device):
    """1 + 2^-30, 1 - 2^-30, 1, 1 + 2^-40: one float32 view, four ordered values."""
    values = [1 + Fraction(1, 2**30), 1 - Fraction(1, 2**30), Fraction(1), 1 + Fraction(1, 2**40)]
    return values, record(values, [1.0] * 4, device)


class TestSigns:
    def test_cancellation_in_one_element(self, device):
        d = MT.from_int(BIG - 1, (), device) - MT.from_int(BIG, (), device)
        assert d._approx.item() == 0.0
        assert values_of(d.abs()) == 1 and d.sign().item() == -1.0 and values_of(d.relu()) == 0

    def test_cancellation_across_elements(self, device):
        d = cancelled([-3, 5, 0, -1], device)
        assert values_of(d) == [-3, 5, 0, -1]
        assert d.sign().tolist() == [-1.0, 1.0, 0.0, -1.0]
        assert values_of(d.abs()) == [3, 5, 0, 1] and values_of(d.relu()) == [0, 5, 0, 0]
        assert values_of(kx.modular_abs(d)) == [3, 5, 0, 1]

    def test_views_that_are_not_finite(self, device):
        values = [Fraction(-7, 2), Fraction(10**50), Fraction(-(10**50)), Fraction(1, 3)]
        x = record(values, [float("nan"), float("-inf"), float("inf"), -1.0], device)
        # NaN and infinities decide nothing; -1.0 decides the last element's sign.
        assert x.sign().tolist() == [-1.0, 1.0, -1.0, -1.0]
        assert values_of(x.abs()) == [Fraction(7, 2), 10**50, 10**50, Fraction(-1, 3)]

    def test_unreadable_elements_keep_the_float_decision(self, device):
        beyond = MT.from_fraction(3**400, -(7**200), (2,), device)  # exact sizes known: beyond the range
        with pytest.raises(OverflowError):
            beyond.sum().to_rational()
        assert beyond.sign().tolist() == [-1.0, -1.0]  # the approximations are finite: they decide


class TestComparisons:
    def test_ties_of_the_float_view(self, device):
        values, x = close_to_one(device)
        one = MT.ones((4,), device)
        for name, op in [("lt", "__lt__"), ("le", "__le__"), ("gt", "__gt__"), ("ge", "__ge__")]:
            assert getattr(x, name)(one).tolist() == [getattr(v, op)(1) for v in values], name
        assert bool(MT.from_fraction(2**30 + 1, 2**30, (), device).gt(MT.ones((), device)))
        assert not bool(MT.from_fraction(2**30 + 1, 2**30, (), device).le(MT.ones((), device)))

    def test_broadcast_pairs(self, device):
        values, x = close_to_one(device)
        col = MT(x.num.view(P, 4, 1), x.denom.view(P, 4, 1), None, x._approx.view(4, 1))
        row = MT(x.num.view(P, 1, 4), x.denom.view(P, 1, 4), None, x._approx.view(1, 4))
        got = col.lt(row)
        assert got.shape == (4, 4) and got.tolist() == [[a < b for b in values] for a in values]
        assert col.ge(row).tolist() == [[a >= b for b in values] for a in values]

    def test_cancellation_against_zero_and_each_other(self, device):
        d = cancelled([-3, 5, 0, -1], device)
        zeros = MT.zeros((4,), device)
        assert d.gt(zeros).tolist() == [False, True, False, False]
        assert d.le(zeros).tolist() == [True, False, True, True]
        e = cancelled([-2, 5, 1, -1], device)
        assert d.lt(e).tolist() == [True, False, True, False] and d.ge(e).tolist() == [False, True, False, True]

    def test_views_that_decide_still_do(self, device):
        # A view that separates the values decides, even where it misleads.
        x = record([Fraction(1), Fraction(2)], [5.0, -5.0], device)
        assert x.gt(MT.zeros((2,), device)).tolist() == [True, False]


class TestClampAndExtremes:
    def test_clamp_ties(self, device):
        values, x = close_to_one(device)
        upper = x.clamp(max_val=1.0)
        assert values_of(upper) == [min(v, 1) for v in values]
        lower = x.clamp(min_val=1.0)
        assert values_of(lower) == [max(v, 1) for v in values]
        both = x.clamp(1.0, 1.0)
        assert values_of(both) == [1, 1, 1, 1]
        one = MT.from_fraction(2**30 + 1, 2**30, (), device)
        assert values_of(one.clamp(max_val=1.0)) == 1 and one.clamp(min_val=1.0) is one

    def test_clamp_of_cancelled_values(self, device):
        d = cancelled([-3, 5, 0, -1], device)
        assert values_of(d.clamp(-0.5, 0.5)) == [Fraction(-1, 2), Fraction(1, 2), 0, Fraction(-1, 2)]

    def test_extremes(self, device):
        values, x = close_to_one(device)
        assert x.argmax() == 0 and x.argmin() == 1
        assert values_of(x.max()) == [values[0]] and values_of(kx.modular_min(x)) == [values[1]]
        d = cancelled([-3, 5, 0, -1], device)
        assert d.argmax() == 1 and d.argmin() == 0 and values_of(d.max()) == [5]
        # Exactly equal values: the first position, as torch picks it among ties.
        same = record([Fraction(1, 3)] * 3, [0.0, 0.0, 0.0], device)
        assert same.argmax() == 0 and same.argmin() == 0


class TestOrdering:
    @pytest.mark.parametrize("descending", [False, True])
    def test_sort_and_argsort(self, descending, device):
        values, x = close_to_one(device)
        d = cancelled([3, -7, 0], device)
        both = [values, [3, -7, 0]]
        for v, t in zip(both, (x, d)):
            s, idx = t.sort(descending=descending)
            assert values_of(s) == sorted(v, reverse=descending)
            assert [v[i] for i in idx.tolist()] == values_of(s) and t.argsort(0, descending).tolist() == idx.tolist()

    def test_rows_of_a_matrix_and_ties_kept_in_torch_order(self, device):
        values = [[Fraction(1), 1 + Fraction(1, 2**40), Fraction(1), Fraction(2)],
                  [Fraction(-1, 2**60), Fraction(0), Fraction(1, 2**60), Fraction(3)]]
        views = [[1.0, 1.0, 1.0, 2.0], [0.0, 0.0, 0.0, 3.0]]
        flat = record(sum(values, []), sum(views, []), device)
        x = MT(flat.num.view(P, 2, 4), flat.denom.view(P, 2, 4), None, flat._approx.view(2, 4))
        s, idx = x.sort(dim=1)
        assert values_of(s) == [sorted(row) for row in values]
        assert idx.tolist()[0][2] == 1  # the one larger value last among the ones
        t, idx = x.T.sort(dim=0, descending=True)
        assert values_of(t) == [list(col) for col in zip(*[sorted(row, reverse=True) for row in values])]

    def test_topk(self, device):
        values, x = close_to_one(device)
        for k in (1, 2, 3):
            top, idx = x.topk(k)
            assert values_of(top) == sorted(values, reverse=True)[:k] == [values[i] for i in idx.tolist()]
            low, idx = x.topk(k, largest=False)
            assert values_of(low) == sorted(values)[:k] == [values[i] for i in idx.tolist()]
        # The k-th key tied with one left out: the exact values choose.
        y = record([Fraction(3), Fraction(1), 1 + Fraction(1, 2**40)], [3.0, 1.0, 1.0], device)
        top, idx = y.topk(2)
        assert idx.tolist() == [0, 2]

    @pytest.mark.parametrize("base", [1.0, 1000.0])  # numerators below 2^61, and above
    @pytest.mark.parametrize("descending", [False, True])
    def test_captured_values_tied_in_float32(self, base, descending, device):
        steps = [5, -3, 0, 12, -3, 7, 1]
        v = torch.tensor([base + k * 2.0**-30 for k in steps], dtype=torch.float64)
        x = MT.from_tensor(v, device)
        assert torch.unique(x._approx).numel() < len(steps)
        exact = [Fraction(t) for t in v.tolist()]
        s, idx = x.sort(descending=descending)
        assert values_of(s) == sorted(exact, reverse=descending)
        assert [exact[i] for i in idx.tolist()] == values_of(s)
        # Equal values keep torch's order among themselves.
        keys_order = torch.sort(x._approx, descending=descending).indices.tolist()
        assert [i for i in idx.tolist() if steps[i] == -3] == [i for i in keys_order if steps[i] == -3]

    def test_ties_along_an_inner_axis(self, device):
        gen = torch.Generator().manual_seed(3)
        steps = torch.randint(-4, 5, (2, 6, 3), generator=gen, dtype=torch.float64)
        v = 3.0 + steps * 2.0**-35
        x = MT.from_tensor(v, device)
        exact = [[[Fraction(t) for t in row] for row in plane] for plane in v.tolist()]
        s, idx = x.sort(dim=1)
        expected = [transposed([sorted(col) for col in transposed(plane)]) for plane in exact]
        assert values_of(s) == expected
        picked = [[[exact[a][idx[a, j, c].item()][c] for c in range(3)] for j in range(6)] for a in range(2)]
        assert picked == expected

    def test_constant_rows_all_tied(self, device):
        x = MT.from_fraction(-2, 7, (3, 4), device)
        s, idx = x.sort(dim=1, descending=True)
        assert values_of(s) == [[Fraction(-2, 7)] * 4] * 3
        assert idx.tolist() == torch.sort(x._approx, dim=1, descending=True).indices.tolist()

    def test_ties_beside_keys_that_are_not_finite(self, device):
        values = [Fraction(2), 1 + Fraction(1, 2**40), Fraction(10**50), Fraction(1), Fraction(-(10**50))]
        x = record(values, [2.0, 1.0, float("inf"), 1.0, float("-inf")], device)
        for descending in (False, True):
            s, idx = x.sort(descending=descending)
            assert values_of(s) == sorted(values, reverse=descending)

    def test_keys_that_decide_keep_torch_results(self, device):
        gen = torch.Generator().manual_seed(5)
        v = torch.randn(2000, dtype=torch.float64, generator=gen)
        x = MT.from_tensor(v, device)
        s, idx = x.sort()
        assert idx.tolist() == torch.sort(x._approx).indices.tolist()
        top, idx = x.topk(7)
        assert idx.tolist() == torch.topk(x._approx, 7).indices.tolist()


class TestNewtonSeed:
    def test_seed_of_a_cancelled_value(self, device):
        a = MT.from_int(BIG + 10**10, (), device) - MT.from_int(BIG, (), device)
        assert a._approx.item() == 0.0
        assert values_of(kx.sqrt_newton(a)) == 10**5
        many = kx.sqrt_newton(cancelled([10**10, 4, 0], device))  # unreduced steps: read each element
        at = [many.index_select(0, torch.tensor([i], device=device)).to_rational() for i in range(2)]
        assert at == [(10**5, 1), (2, 1)]

    def test_seed_beyond_float32(self, device):
        a = MT.from_int(10**60, (), device)
        assert math.isinf(a._approx.item())
        root = Fraction(*kx.sqrt_newton(a).to_rational())
        assert abs(root / 10**30 - 1) < Fraction(1, 10**12)

    def test_no_seed_for_what_has_neither_view_nor_value(self, device):
        beyond = MT.from_fraction(3**400, 7**200, (), device)
        bare = MT(beyond.num, beyond.denom, beyond.primes, torch.tensor(float("nan")).to(device))
        with pytest.raises(OverflowError, match="exceeds the exact range"):
            kx.sqrt_newton(bare)
