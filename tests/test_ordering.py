"""sort, argsort and topk: orders decided on the float view, exact residues
picked at the positions torch returns."""
from fractions import Fraction

import pytest
import torch

from test_shape import P, pairs_of, random_fractions, tensor_of, transposed, values_of
from varnix.orvo.kalvex import ModularTensor as MT

THREE = [(2, 6), -2, (10, 4)]  # 1/3, -2, 5/2, stored unreduced


def bare(x):
    return MT(x.num, x.denom)


def torch_pick(x, indices, dim):
    """The residues torch's own gather picks, the positions spread over the prime axis."""
    spread = indices.unsqueeze(0).expand(P, *indices.shape)
    axis = dim % len(x.shape) + 1
    return torch.gather(x.num, axis, spread), torch.gather(x.denom, axis, spread)


def assert_picked(result, x, indices, dim):
    num, denom = torch_pick(x, indices, dim)
    assert torch.equal(result.num, num) and torch.equal(result.denom, denom)


class TestSmall:
    @pytest.mark.parametrize("approx", [True, False])
    def test_sort_argsort_topk(self, approx, device):
        x = tensor_of(THREE, device, approx)
        s, idx = x.sort()
        assert idx.tolist() == [1, 0, 2] and pairs_of(s) == [(-2, 1), (2, 6), (10, 4)]  # unreduced
        d, idx = x.sort(descending=True)
        assert idx.tolist() == [2, 0, 1] and values_of(d) == [Fraction(5, 2), Fraction(1, 3), -2]
        assert x.argsort().tolist() == [1, 0, 2] and x.argsort(0, True).tolist() == [2, 0, 1]
        t, idx = x.topk(2)
        assert idx.tolist() == [2, 0] and pairs_of(t) == [(10, 4), (2, 6)]
        t, idx = x.topk(2, largest=False)
        assert idx.tolist() == [1, 0] and pairs_of(t) == [(-2, 1), (2, 6)]
        # Results carry the chosen keys, with or without an approximation in the input.
        key = torch.tensor([1 / 3, -2, 2.5])
        assert torch.equal(d._approx.cpu(), key.sort(descending=True).values)
        assert torch.equal(t._approx.cpu(), key.topk(2, largest=False).values)
        assert s.primes is x.primes and (x._approx is None) != approx

    def test_columns(self, device):
        rows = random_fractions((3, 2), 1)
        x = tensor_of(rows, device)
        a, ia = x.sort(dim=0)
        b, ib = x.sort(dim=-2)
        assert torch.equal(ia, ib) and torch.equal(x.argsort(dim=0), ia) and values_of(a) == values_of(b)
        assert transposed(values_of(a)) == [sorted(col) for col in transposed(rows)]
        assert values_of(x.sort()[0]) == [sorted(row) for row in rows]


class TestTies:
    def test_values_the_float_view_cannot_separate(self, device):
        close = Fraction(1, 3) + Fraction(1, 10**12)  # the same float32 key as 1/3
        vals = [close, Fraction(1, 3), Fraction(-1)]
        x = tensor_of(vals, device)
        assert x._approx[0] == x._approx[1]
        s, idx = x.sort()
        assert idx[0] == 2 and idx.tolist() == torch.sort(x._approx).indices.tolist()
        assert values_of(s) == [vals[i] for i in idx.tolist()]
        # Repeated values, keys rebuilt from the residues.
        vals = [Fraction(k % 4, 3) for k in range(40)]
        x = tensor_of(vals, device, approx=False)
        for descending in (False, True):
            s, idx = x.sort(descending=descending)
            assert values_of(s) == sorted(vals, reverse=descending) == [vals[i] for i in idx.tolist()]
        t, idx = x.topk(12, largest=False)
        assert values_of(t) == [0] * 10 + [Fraction(1, 3)] * 2 == [vals[i] for i in idx.tolist()]


class TestLayouts:
    """The one-pass pick: several blocks of positions, any axis, strided residues."""

    @pytest.mark.parametrize("shape,dim", [((5000,), -1), ((3, 1500), 1), ((1500, 3), 0), ((4, 700, 3), 1),
                                           ((4, 3, 5), 0), ((2, 0, 3), 1)])
    def test_picks_match_torch_gather(self, shape, dim, device):
        gen = torch.Generator().manual_seed(sum(shape))
        x = MT.from_tensor(torch.randn(shape, generator=gen, dtype=torch.float64) * 50, device)
        s, idx = x.sort(dim=dim)
        assert torch.equal(s._approx, torch.sort(x._approx, dim=dim).values)
        assert_picked(s, x, idx, dim)
        for largest in (True, False):
            t, tidx = x.topk(min(7, shape[dim]), dim=dim, largest=largest)
            assert torch.equal(tidx, torch.topk(x._approx, min(7, shape[dim]), dim=dim, largest=largest).indices)
            assert_picked(t, x, tidx, dim)

    @pytest.mark.parametrize("approx", [True, False])
    def test_strided_input(self, approx, device):
        gen = torch.Generator().manual_seed(5)
        full = MT.from_tensor(torch.randn(300, 7, generator=gen, dtype=torch.float64), device)
        x = (full if approx else bare(full)).T  # residues [P, 7, 300], not contiguous
        s, idx = x.sort()
        assert torch.equal(idx, torch.sort(full._approx.t()).indices)
        assert_picked(s, x, idx, -1)
        t, tidx = x.topk(5, dim=0)
        assert_picked(t, x, tidx, 0)


class TestScalar:
    """A shape-() tensor orders like a zero-dimensional torch tensor: its one element."""

    @pytest.mark.parametrize("approx", [True, False])
    def test_scalar(self, approx, device):
        x = tensor_of((6, 4), device, approx)
        ref = torch.tensor(1.5)
        for (ours, idx), (theirs, ref_idx) in [(x.sort(), ref.sort()), (x.sort(0, True), ref.sort(0, True)),
                                               (x.topk(1), ref.topk(1)), (x.topk(0, -1, False), ref.topk(0, -1, False))]:
            assert ours.shape == theirs.shape == () and idx.shape == ref_idx.shape == ()
            assert idx.item() == 0 and pairs_of(ours) == (6, 4) and ours._approx.item() == 1.5
        assert x.argsort().shape == () and x.argsort().item() == 0
        with pytest.raises(RuntimeError, match="k"):
            x.topk(2)
        with pytest.raises(IndexError):
            x.sort(1)


class TestErrors:
    def test_torch_errors_pass_through(self, device):
        x = tensor_of(THREE, device)
        with pytest.raises(RuntimeError, match="k"):
            x.topk(4)
        with pytest.raises(IndexError, match="Dimension out of range"):
            x.sort(dim=1)
        with pytest.raises(IndexError, match="Dimension out of range"):
            x.topk(1, dim=-2)
        with pytest.raises(TypeError, match=r"sort\(\)"):
            x.sort(descending=1)
        with pytest.raises(TypeError, match=r"argsort\(\)"):
            x.argsort(descending=None)
        with pytest.raises(TypeError, match="largest"):
            x.topk(1, largest="yes")

    def test_key_from_an_overridden_to_float(self, device):
        class Reversed(MT):
            def to_float(self):
                return -self._approx

        base = tensor_of(THREE, device)
        s, idx = Reversed(base.num, base.denom, None, base._approx).sort()
        assert idx.tolist() == [2, 0, 1] and values_of(s) == [Fraction(5, 2), Fraction(1, 3), -2]
        assert type(s) is MT
