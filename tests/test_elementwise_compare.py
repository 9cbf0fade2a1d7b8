"""Order comparisons on float views, exact inequality, zero tests and where."""
import pytest
import torch

from support import BASIS, literal_binary
from varnix.orvo.kalvex import ModularTensor as MT


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def bare(x):
    return MT(x.num, x.denom)


def transposed(t):
    return MT(t.num.transpose(1, 2), t.denom.transpose(1, 2))


def records(device, *shapes, seed=0):
    """Tensors of random residues (values that do not read back), one per shape."""
    gen = torch.Generator().manual_seed(seed)

    def rows(shape):
        p = torch.tensor(BASIS).view(-1, *([1] * len(shape)))
        return (torch.rand((20, *shape), generator=gen, dtype=torch.float64) * p).long().to(device)

    return [MT(rows(shape), rows(shape)) for shape in shapes]


def test_order_is_decided_on_the_float_view_where_it_can_be(device):
    x = MT.from_tensor(torch.tensor([-1.5, 0.0, 2.0]), device)
    assert not x.lt(x).any() and x.le(x).all() and not x.gt(x).any() and x.ge(x).all() and not x.ne(x).any()
    # Closer than float32 can tell: the exact values decide the tie.
    one, close = MT.from_int(1, (), device), frac(2**60 + 1, 2**60, device)
    assert bool(one.lt(close)) and bool(one.le(close)) and not bool(one.ge(close)) and bool(one.ne(close))
    # Views rebuilt from residues, broadcast against each other.
    got = bare(frac(1, 3, device, (2, 1))).lt(MT.from_tensor(torch.tensor([[0.0, 0.5, 0.25]]), device))
    assert got.dtype == torch.bool and got.tolist() == [[False, True, False]] * 2
    assert bare(frac(1, 3, device)).gt(frac(0, 1, device)).shape == (1,)  # the rebuilt view of a 0-d tensor

    class Flipped(MT):  # the view is what to_float gives, wherever it decides
        def to_float(self):
            return -MT.to_float(self)

    halves = frac(1, 2, device, (2,))
    x = Flipped(halves.num, halves.denom, None, torch.tensor([0.5, 0.25], device=device))
    assert x.lt(MT.zeros((2,), device)).all() and x.argmin() == 0
    one = Flipped(*(t[:, :1] for t in (halves.num, halves.denom)), None, torch.tensor([0.5], device=device))
    assert not bool(one.lt(frac(0, 1, device, (1,))))  # one element each: the exact values decide
    with pytest.raises(AttributeError):
        halves.lt(0.5)  # a number has no float view


def test_ne_is_exact_in_every_layout(device):
    x, y, col, row, t = records(device, (4, 6), (4, 6), (3, 1), (1, 5), (5, 3))
    y.num[:, 1], y.denom[:, 1] = x.num[:, 1], x.denom[:, 1]
    for a, b in [(x, y), (col, row), (col, transposed(t))]:
        assert torch.equal(a.ne(b), ~literal_binary("==", a, b))
    assert not x.ne(y)[1].any()
    assert not bool(frac(1, 2, device).ne(frac(-3, -6, device)))
    assert bool(frac(BASIS[0], 1, device).ne(MT.zeros((), device)))  # equal modulo one prime only
    x = frac(2, 1, device, (2,))
    assert x.ne(2).tolist() == [False, False] and x.ne(2.9).tolist() == [False, False]  # int() of a number
    assert x.ne(3).tolist() == [True, True]
    assert x.ne(frac(2, 1, device)).tolist() == [False, False]  # ranks broadcast as torch's do


def test_all_and_any_need_every_residue_zero(device):
    x = MT.from_tensor(torch.tensor([1.0, 0.0]), device)
    assert x.all() is False and x.any() is True  # Python bools
    assert MT.zeros((3,), device).any() is False and MT.ones((2, 2), device).all() is True
    e = MT.from_tensor(torch.zeros(0), device)
    assert e.all() is True and e.any() is False
    for p in [BASIS[-1], BASIS[0], BASIS[3] * BASIS[7]]:
        assert MT.from_int(p, (2,), device).all() is True
    one = frac(1, 1, device, (3,))
    num = one.num.clone()
    num[:, 1] = 0
    assert MT(num, one.denom).all() is False
    num[:5, 1] = 1
    assert MT(num, one.denom).all() is True


def test_where_moves_whole_elements(device):
    x, y = frac(1, 3, device, (2, 2)), frac(-5, 7, device, (2, 2))
    cond = torch.tensor([[True, False], [False, True]])
    assert torch.equal(x.where(cond, y)._approx, torch.where(cond.to(device), x._approx, y._approx))
    other, t, u = records(device, (2, 3), (4, 5), (5, 4), seed=1)
    row, pick = frac(1, 3, device, (1, 3)), torch.tensor([True, False, True])
    assert row.where(pick, other)._approx is None  # one operand without a view
    with pytest.raises(RuntimeError):
        row.where(torch.tensor([True, False]), other)  # the condition must expand to self's shape
    scattered = torch.rand(5, 4, generator=torch.Generator().manual_seed(1)) < 0.5
    for a, b, c in [(x, y, cond), (row, other, pick), (transposed(t), u, scattered)]:
        r, c = a.where(c, b), c.to(device).unsqueeze(0)
        assert torch.equal(r.num, torch.where(c, a.num, b.num))
        assert torch.equal(r.denom, torch.where(c, a.denom, b.denom)) and r.primes is a.primes
    s = frac(1, 2, device).where(torch.tensor(False), frac(2, 3, device))
    assert s.to_rational() == (2, 3) and s.shape == ()

    class Duck:  # only the other operand's residues are read, not its basis
        num, denom, _approx = row.num, row.denom, None

    assert torch.equal(other.where(~pick, Duck()).num, other.where(~pick, row).num)
    with pytest.raises(AttributeError):
        row.where(pick, 0.5)
