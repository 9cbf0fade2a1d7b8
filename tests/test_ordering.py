"""sort, argsort and topk: orders decided on the float view, exact residues
picked at the positions torch returns."""
from fractions import Fraction

import pytest
import torch

from test_shape import P, pairs_of, random_fractions, tensor_of, transposed, values_of
from varnix.orvo.kalvex import ModularTensor as MT

THREE = [(2, 6), Fraction(-2), (10, 4)]  # 1/3, -2, 5/2, stored unreduced


def bare(x):
    """The same residues without an approximation."""
    return MT(x.num, x.denom)


def picked_residues(x, indices, dim):
    """The residues torch's own gather picks, the prime axis in front."""
    axis = dim % len(x.shape) + 1
    spread = indices.unsqueeze(0).expand(P, *indices.shape)
    return torch.gather(x.num, axis, spread), torch.gather(x.denom, axis, spread)


class TestSmall:
    @pytest.mark.parametrize("approx", [True, False])
    def test_sort(self, approx, device):
        x = tensor_of(THREE, device, approx)
        s, idx = x.sort()
        assert idx.tolist() == [1, 0, 2] and idx.dtype == torch.int64
        assert pairs_of(s) == [(-2, 1), (2, 6), (10, 4)]  # unreduced, as stored
        d, idx = x.sort(descending=True)
        assert idx.tolist() == [2, 0, 1] and values_of(d) == [Fraction(5, 2), Fraction(1, 3), -2]
        assert d._approx.tolist() == sorted(x.to_float().tolist(), reverse=True)
        assert s.primes is x.primes

    @pytest.mark.parametrize("approx", [True, False])
    def test_argsort_touches_nothing(self, approx, device):
        x = tensor_of(THREE, device, approx)
        before = (x.num.clone(), x.denom.clone(), x._approx)
        assert x.argsort().tolist() == [1, 0, 2]
        assert x.argsort(descending=True).tolist() == [2, 0, 1]
        assert x.argsort(0, True).tolist() == [2, 0, 1]
        assert torch.equal(x.num, before[0]) and torch.equal(x.denom, before[1]) and x._approx is before[2]

    @pytest.mark.parametrize("approx", [True, False])
    def test_topk(self, approx, device):
        x = tensor_of(THREE, device, approx)
        t, idx = x.topk(2)
        assert idx.tolist() == [2, 0] and pairs_of(t) == [(10, 4), (2, 6)]
        t, idx = x.topk(2, largest=False)
        assert idx.tolist() == [1, 0] and pairs_of(t) == [(-2, 1), (2, 6)]
        t, idx = x.topk(1, 0, False)
        assert idx.tolist() == [1] and values_of(t) == [-2]
        assert x.topk(0)[0].shape == (0,)

    def test_results_carry_the_chosen_keys(self, device):
        x = bare(tensor_of(THREE, device))
        assert x._approx is None
        s, _ = x.sort()
        t, _ = x.topk(2)
        key = torch.tensor([1 / 3, -2, 2.5], dtype=torch.float32)
        assert torch.equal(s._approx.cpu(), key.sort().values)
        assert torch.equal(t._approx.cpu(), key.topk(2).values)

    def test_columns_of_a_matrix(self, device):
        rows = random_fractions((3, 2), 1)
        x = tensor_of(rows, device)
        a, ia = x.sort(dim=0)
        b, ib = x.sort(dim=-2)
        assert torch.equal(ia, ib) and values_of(a) == values_of(b)
        assert transposed(values_of(a)) == [sorted(col) for col in transposed(rows)]
        r, ir = x.sort()  # each row
        assert values_of(r) == [sorted(row) for row in rows]
        assert torch.equal(x.argsort(dim=0), ia)


class TestTies:
    def test_values_the_float_view_cannot_separate(self, device):
        # 1/3 and 1/3 + 10^-12 share one float32 key: a tie, kept exact.
        close = Fraction(1, 3) + Fraction(1, 10**12)
        x = tensor_of([close, Fraction(1, 3), Fraction(-1)], device)
        assert x._approx[0] == x._approx[1]
        s, idx = x.sort()
        assert idx[0] == 2 and sorted(idx[1:].tolist()) == [0, 1]
        assert values_of(s) == [[close, Fraction(1, 3), Fraction(-1)][i] for i in idx.tolist()]
        assert idx.tolist() == torch.sort(x._approx).indices.tolist()

    def test_equal_values_and_repeats(self, device):
        vals = [Fraction(k % 4, 3) for k in range(40)]
        x = tensor_of(vals, device)
        for descending in (False, True):
            s, idx = x.sort(descending=descending)
            assert values_of(s) == sorted(vals, reverse=descending)
            assert values_of(s) == [vals[i] for i in idx.tolist()]
        t, idx = x.topk(12, largest=False)
        assert values_of(t) == [0] * 10 + [Fraction(1, 3)] * 2
        assert values_of(t) == [vals[i] for i in idx.tolist()]


class TestLarge:
    """Sizes and layouts of the one-pass pick: several blocks, any axis, strided residues."""

    @pytest.mark.parametrize("shape,dim", [((5000,), -1), ((3, 1500), 1), ((1500, 3), 0), ((4, 700, 3), 1),
                                           ((4, 3, 5), 0), ((2, 0, 3), 1)])
    def test_picks_match_torch_gather(self, shape, dim, device):
        gen = torch.Generator().manual_seed(sum(shape))
        x = MT.from_tensor(torch.randn(shape, generator=gen, dtype=torch.float64) * 50, device)
        s, idx = x.sort(dim=dim)
        assert torch.equal(s._approx, torch.sort(x._approx, dim=dim).values)
        for got, want in zip((s.num, s.denom), picked_residues(x, idx, dim)):
            assert torch.equal(got, want)
        k = min(7, shape[dim])
        for largest in (True, False):
            t, tidx = x.topk(k, dim=dim, largest=largest)
            assert torch.equal(tidx, torch.topk(x._approx, k, dim=dim, largest=largest).indices)
            for got, want in zip((t.num, t.denom), picked_residues(x, tidx, dim)):
                assert torch.equal(got, want)

    @pytest.mark.parametrize("approx", [True, False])
    def test_strided_input(self, approx, device):
        gen = torch.Generator().manual_seed(5)
        full = MT.from_tensor(torch.randn(300, 7, generator=gen, dtype=torch.float64), device)
        x = (full if approx else bare(full)).T  # residues [P, 7, 300], not contiguous
        assert not x.num.is_contiguous()
        s, idx = x.sort()
        assert torch.equal(idx, torch.sort(full._approx.t()).indices)
        for got, want in zip((s.num, s.denom), picked_residues(x, idx, -1)):
            assert torch.equal(got, want)
        t, tidx = x.topk(5, dim=0)
        for got, want in zip((t.num, t.denom), picked_residues(x, tidx, 0)):
            assert torch.equal(got, want)

    def test_random_fractions_sorted_exactly(self, device):
        # Distinct values with denominators below 60 differ by more than 1/3600: float32 orders them.
        vals = random_fractions((2000,), 7)
        x = tensor_of(vals, device, approx=False)
        s, _ = x.sort()
        assert values_of(s) == sorted(vals)
        assert values_of(x.topk(5)[0]) == sorted(vals, reverse=True)[:5]


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
    def test_argument_types(self, device):
        x = tensor_of(THREE, device)
        for call in (lambda: x.topk(True), lambda: x.sort(dim=1.0), lambda: x.argsort(dim=False),
                     lambda: x.topk(2, dim=None)):
            with pytest.raises(TypeError, match="has incorrect type"):
                call()

    def test_torch_errors_pass_through(self, device):
        x = tensor_of(THREE, device)
        with pytest.raises(RuntimeError, match="k"):
            x.topk(4)
        with pytest.raises(IndexError, match="Dimension out of range"):
            x.sort(dim=1)
        with pytest.raises(IndexError, match="Dimension out of range"):
            x.topk(1, dim=-2)
        with pytest.raises(TypeError, match="sort()"):
            x.sort(descending=1)
        with pytest.raises(TypeError, match="argsort()"):
            x.argsort(descending=None)
        with pytest.raises(TypeError, match="largest"):
            x.topk(1, largest="yes")


class TestSubclass:
    def test_key_from_an_overridden_to_float(self, device):
        class Reversed(MT):
            def to_float(self):
                return -self._approx

        base = tensor_of(THREE, device)
        x = Reversed(base.num, base.denom, None, base._approx)
        s, idx = x.sort()
        assert idx.tolist() == [2, 0, 1] and values_of(s) == [Fraction(5, 2), Fraction(1, 3), -2]
        assert type(s) is MT
