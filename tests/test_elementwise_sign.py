"""abs, sign, relu and clamp: decisions on the float view, exact residues."""
from fractions import Fraction

import pytest
import torch

from support import captured, column, residues
from varnix.orvo.kalvex import ModularTensor as MT


def frac(n, d, device, shape=()):
    return MT.from_fraction(n, d, shape, device)


def with_approx(x, approx):
    """x's residues with a float view of our choosing."""
    return MT(x.num, x.denom, x.primes, torch.tensor(approx, dtype=torch.float32, device=x.num.device))


def bare(x):
    return MT(x.num, x.denom, x.primes)


def values(x):
    """The exact value of every element (row-major), read back one by one."""
    num, den = x.num.reshape(20, -1), x.denom.reshape(20, -1)
    return [Fraction(*MT(num[:, i], den[:, i]).to_rational()) for i in range(num.shape[1])]


def test_decisions_follow_the_float_view_where_it_decides(device):
    # abs: a view < 0 negates whatever the value; a view of 0 decides nothing: the value does.
    third, view = Fraction(1, 3), [0.0, -1.0, 2.0]
    x, y = with_approx(frac(-1, 3, device, (3,)), view), with_approx(frac(1, 3, device, (3,)), view)
    a = x.abs()
    assert values(a) == [third, third, -third] and values(y.abs()) == [third, -third, third]
    assert torch.equal(a._approx, torch.tensor([0.0, 1.0, 2.0], device=device))
    assert a.denom.data_ptr() != x.denom.data_ptr() and column(a.denom, (1,)) == residues(3)  # a copy
    # relu: a view below 0 gives the canonical 0/1; views of 0 and -0 leave it to the values.
    r = with_approx(frac(1, 3, device, (4,)), [0.0, -0.0, 1e-30, -1e-30]).relu()
    assert [column(r.num, (i,)) for i in range(4)] == [residues(1)] * 3 + [[0] * 20]
    assert column(r.denom, (3,)) == [1] * 20 and column(r.denom, (2,)) == residues(3)
    # sign is the float computation on the view where it decides, which a 0-d tensor rebuilds with shape (1,).
    s = with_approx(frac(5, 1, device, (3,)), [-2.5, 0.0, float("nan")]).sign()
    assert not isinstance(s, MT) and s.dtype == torch.float32 and torch.equal(s.cpu(), torch.tensor([-1.0, 1.0, 1.0]))
    assert bare(frac(-3, 4, device)).sign().tolist() == [-1.0] and frac(-3, 4, device).sign().shape == ()


@pytest.mark.parametrize("op", ["abs", "relu"])
def test_exact_in_every_layout(op, device):
    vs = [-1.5, -0.1, 0.0, -0.0, 0.1, 1e-20, -3.75, 1e-300]
    x = MT.from_tensor(torch.tensor(vs, dtype=torch.float64), device)
    assert values(getattr(x, op)()) == [abs(captured(v)) if op == "abs" else max(captured(v), 0) for v in vs]
    # Strided residues take the generic path.
    t = MT.from_tensor(torch.randn(4, 6, dtype=torch.float64, generator=torch.Generator().manual_seed(3)), device)
    got, want = getattr(t.T, op)(), getattr(t, op)().T
    assert torch.equal(got.num, want.num) and torch.equal(got.denom, want.denom)
    # Without an approximation the rebuilt view decides, and none is made.
    for shape in [(), (2,)]:
        r = getattr(bare(frac(-3, 4, device, shape)), op)()
        assert r._approx is None and r.shape == shape
        assert set(values(r)) == {Fraction(3, 4) if op == "abs" else 0}


def test_clamp_replaces_only_past_a_bound(device):
    x = frac(1, 2, device, (3,))
    assert x.clamp() is x and x.clamp(0.0, 1.0) is x and x.clamp(min_val=0.5) is x  # equal to a bound: kept
    x = MT.from_tensor(torch.tensor([[-2.0, 0.25], [0.75, 3.0]]), device)
    r = x.clamp(-1.0, 0.5)
    assert values(r) == [-1, Fraction(1, 4), Fraction(1, 2), Fraction(1, 2)]
    assert torch.equal(r._approx.cpu(), torch.tensor([[-1.0, 0.25], [0.5, 0.5]]))
    r = x.clamp(1.0, 0.0)  # the lower bound first, then the upper one
    assert values(r) == [0] * 4 and torch.equal(r._approx.cpu(), torch.zeros(2, 2))


@pytest.mark.parametrize(
    "bound, want",
    [(1 / 3, Fraction(3333, 10000)), (-0.5, Fraction(-1, 2)), (0.00004, Fraction(0)),
     (-1 / 3, Fraction(-3333, 10000)), (2.99999, Fraction(29999, 10000))],
)
def test_clamp_bounds_are_truncated_to_ten_thousandths(bound, want, device):
    x = MT.from_tensor(torch.tensor([-5.0, 5.0]), device)
    r = x.clamp(min_val=bound)
    assert values(r) == [want, 5] and r._approx[0].item() == torch.tensor(bound, dtype=torch.float32).item()
    assert values(x.clamp(max_val=bound)) == [-5, want]


def test_clamp_without_approximation(device):
    for shape in [(), (3,)]:
        r = bare(MT.from_fraction(-7, 4, shape, device)).clamp(-1.0, 0.5)
        assert r._approx is None and r.shape == shape and set(values(r)) == {-1}
    x = bare(MT.from_tensor(torch.tensor([-2.0, 0.25, 3.0]), device))
    assert values(x.clamp(-0.5, -0.6)) == [Fraction(-3, 5)] * 3  # the upper bound sees the rebuilt -1/2


def test_clamp_bounds_that_int_refuses_and_huge_ones(device):
    x = frac(1, 2, device, (1,))
    for bounds, error in [((float("nan"),), ValueError), ((0.0, float("inf")), OverflowError),
                          ((1e305,), OverflowError)]:  # 1e305 * 10000 overflows to infinity
        with pytest.raises(error):
            x.clamp(*bounds)
    r = x.clamp(min_val=2.0**80)
    assert column(r.num, (0,)) == residues(2**80 * 10000) and column(r.denom, (0,)) == residues(10000)
