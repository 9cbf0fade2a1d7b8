"""sort, argsort and topk: orders decided on the float view, exact residues
picked at the positions torch returns."""
from fractions import Fraction

import pytest
import torch

from support import P, pairs_of, random_fractions, tensor_of, transposed, values_of
from varnix.orvo.kalvex import ModularTensor as MT

THREE = [(2, 6), -2, (10, 4)]  # 1/3, -2, 5/2, stored unreduced


def bare(x):
    return MT(x.num, x.denom)


def assert_picked(result, x, indices, dim):
    """result holds the residues torch's own gather picks, the positions spread over the prime axis."""
    spread, axis = indices.unsqueeze(0).expand(P, *indices.shape), dim % len(x.shape) + 1
    assert torch.equal(result.num, torch.gather(x.num, axis, spread))
    assert torch.equal(result.denom, torch.gather(x.denom, axis, spread))


@pytest.mark.parametrize("approx", [True, False])
def test_sort_argsort_topk(approx, device):
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
    # Along columns, by either name of the axis.
    rows = random_fractions((3, 2), 1)
    x = tensor_of(rows, device, approx)
    a, ia = x.sort(dim=-2)
    assert torch.equal(x.argsort(dim=0), ia) and transposed(values_of(a)) == [sorted(col) for col in transposed(rows)]


def test_the_key_is_the_float_view_and_ties_are_exact(device):
    close = Fraction(1, 3) + Fraction(1, 10**12)  # the same float32 key as 1/3
    vals = [close, Fraction(1, 3), Fraction(-1)]
    x = tensor_of(vals, device)
    assert x._approx[0] == x._approx[1]
    s, idx = x.sort()
    assert idx.tolist() == [2, 1, 0] and values_of(s) == [vals[i] for i in idx.tolist()]
    # Repeated values, keys rebuilt from the residues.
    vals = [Fraction(k % 4, 3) for k in range(40)]
    x = tensor_of(vals, device, approx=False)
    for descending in (False, True):
        s, idx = x.sort(descending=descending)
        assert values_of(s) == sorted(vals, reverse=descending) == [vals[i] for i in idx.tolist()]
    t, idx = x.topk(12, largest=False)
    assert values_of(t) == [0] * 10 + [Fraction(1, 3)] * 2 == [vals[i] for i in idx.tolist()]

    class Reversed(MT):  # a key from an overridden to_float
        def to_float(self):
            return -self._approx

    base = tensor_of(THREE, device)
    s, idx = Reversed(base.num, base.denom, None, base._approx).sort()
    assert idx.tolist() == [2, 0, 1] and values_of(s) == [Fraction(5, 2), Fraction(1, 3), -2] and type(s) is MT


@pytest.mark.parametrize("shape,dim", [((5000,), -1), ((3, 1500), 1), ((1500, 3), 0), ((4, 700, 3), 1),
                                       ((4, 3, 5), 0), ((2, 0, 3), 1)])
def test_picks_match_torch_gather(shape, dim, device):
    """The one-pass pick: several blocks of positions, any axis, strided residues."""
    gen = torch.Generator().manual_seed(sum(shape))
    x = MT.from_tensor(torch.randn(shape, generator=gen, dtype=torch.float64) * 50, device)
    # Then strided residues without an approximation: keys rebuilt from them.
    for y, key in [(x, x._approx), (bare(x).transpose(0, -1), bare(x).to_float().transpose(0, -1))]:
        k = min(7, y.shape[dim])
        s, idx = y.sort(dim=dim)
        assert torch.equal(s._approx, torch.sort(key, dim=dim).values)
        assert_picked(s, y, idx, dim)
        for largest in (True, False):
            t, tidx = y.topk(k, dim=dim, largest=largest)
            assert torch.equal(tidx, torch.topk(key, k, dim=dim, largest=largest).indices)
            assert_picked(t, y, tidx, dim)


def test_a_scalar_orders_like_a_zero_dimensional_torch_tensor(device):
    ref = torch.tensor(1.5)
    for x in (tensor_of((6, 4), device), tensor_of((6, 4), device, approx=False)):
        pairs = [(x.sort(), ref.sort()), (x.sort(0, True), ref.sort(0, True)), (x.topk(1), ref.topk(1)),
                 (x.topk(0, -1, False), ref.topk(0, -1, False))]
        for (ours, idx), (theirs, ref_idx) in pairs:
            assert ours.shape == theirs.shape == () and idx.shape == ref_idx.shape == ()
            assert idx.item() == 0 and pairs_of(ours) == (6, 4) and ours._approx.item() == 1.5
        assert x.argsort().shape == () and x.argsort().item() == 0


def test_torch_errors_pass_through(device):
    x, scalar = tensor_of(THREE, device), tensor_of((6, 4), device)
    for call, error, message in [(lambda: x.topk(4), RuntimeError, "k"), (lambda: scalar.topk(2), RuntimeError, "k"),
                                 (lambda: x.sort(dim=1), IndexError, "Dimension out of range"),
                                 (lambda: x.topk(1, dim=-2), IndexError, "Dimension out of range"),
                                 (lambda: scalar.sort(1), IndexError, "Dimension out of range"),
                                 (lambda: x.sort(descending=1), TypeError, r"sort\(\)"),
                                 (lambda: x.argsort(descending=None), TypeError, r"argsort\(\)"),
                                 (lambda: x.topk(1, largest="yes"), TypeError, "largest")]:
        with pytest.raises(error, match=message):
            call()

