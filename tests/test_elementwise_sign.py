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


def without_approx(x):
    return MT(x.num, x.denom, x.primes)


def value(x, index=()):
    """The exact value of one element, read back by to_rational."""
    element = MT(x.num[(slice(None),) + index], x.denom[(slice(None),) + index])
    return Fraction(*element.to_rational())


def prime_view(x):
    return x.primes.view(-1, *([1] * len(x.shape)))


def literal_abs(x, view):
    neg_mask = (torch.sign(view) < 0).unsqueeze(0).expand_as(x.num)
    return torch.where(neg_mask, (-x.num) % prime_view(x), x.num), x.denom


def literal_relu(x, view):
    mask = (view > 0).unsqueeze(0).expand_as(x.num)
    return (torch.where(mask, x.num, torch.zeros_like(x.num)), torch.where(mask, x.denom, torch.ones_like(x.denom)))


def random_tensor(device, shape=(5, 7), seed=0):
    gen = torch.Generator().manual_seed(seed)
    v = torch.randn(shape, dtype=torch.float64, generator=gen)
    v.view(-1)[:3] = torch.tensor([0.0, -0.0, 1e-300], dtype=torch.float64)
    return MT.from_tensor(v, device)


class TestFloatViewTrust:
    def test_abs_follows_the_view_not_the_value(self, device):
        x = with_approx(frac(-1, 3, device, (3,)), [0.0, -1.0, 2.0])
        y = with_approx(frac(1, 3, device, (3,)), [0.0, -1.0, 2.0])
        ax, ay = x.abs(), y.abs()
        # view 0.0: unchanged although the value is negative; view < 0: negated
        # whatever the value; view > 0: unchanged.
        assert [value(ax, (i,)) for i in range(3)] == [Fraction(-1, 3), Fraction(1, 3), Fraction(-1, 3)]
        assert [value(ay, (i,)) for i in range(3)] == [Fraction(1, 3), Fraction(-1, 3), Fraction(1, 3)]
        assert torch.equal(ax._approx, torch.tensor([0.0, 1.0, 2.0], device=device))

    def test_relu_zeroes_what_the_view_calls_zero(self, device):
        x = with_approx(frac(1, 3, device, (3,)), [0.0, -0.0, 1e-30])
        r = x.relu()
        assert column(r.num, (0,)) == [0] * 20 and column(r.denom, (0,)) == [1] * 20
        assert column(r.num, (1,)) == [0] * 20
        assert column(r.num, (2,)) == residues(1) and column(r.denom, (2,)) == residues(3)

    def test_sign_is_the_float_computation(self, device):
        x = with_approx(frac(5, 1, device, (2,)), [-2.5, 0.0])
        s = x.sign()
        assert not isinstance(s, MT) and s.dtype == torch.float32
        assert torch.equal(s.cpu(), torch.tensor([-1.0, 0.0]))


class TestResidues:
    @pytest.mark.parametrize("op, literal", [("abs", literal_abs), ("relu", literal_relu)])
    def test_match_the_literal_formula(self, op, literal, device):
        x = random_tensor(device)
        got = getattr(x, op)()
        num, den = literal(x, x._approx)
        assert torch.equal(got.num, num) and torch.equal(got.denom, den)

    @pytest.mark.parametrize("op", ["abs", "relu"])
    def test_values_are_exact(self, op, device):
        vs = [-1.5, -0.1, 0.0, 0.1, 1e-20, -3.75]
        x = MT.from_tensor(torch.tensor(vs, dtype=torch.float64), device)
        got = getattr(x, op)()
        for i, v in enumerate(vs):
            want = abs(captured(v)) if op == "abs" else max(captured(v), Fraction(0))
            assert value(got, (i,)) == want

    def test_broadcast_and_strided_records(self, device):
        # Residues that are views (a transposed record) take the generic path.
        x = random_tensor(device, (4, 6), seed=3)
        t = MT(x.num.transpose(1, 2), x.denom.transpose(1, 2), x.primes, x._approx.t())
        for op, literal in [("abs", literal_abs), ("relu", literal_relu)]:
            got = getattr(t, op)()
            num, den = literal(t, t._approx)
            assert torch.equal(got.num, num) and torch.equal(got.denom, den)

    def test_abs_copies_the_denominator(self, device):
        x = frac(-2, 3, device, (2,))
        a = x.abs()
        assert a.denom.data_ptr() != x.denom.data_ptr()
        assert column(a.denom, (1,)) == column(x.denom, (0,)) == residues(3)

    def test_relu_makes_zero_canonical(self, device):
        zero = frac(0, 7, device, (2,))
        r = zero.relu()
        assert column(r.num, (1,)) == [0] * 20 and column(r.denom, (1,)) == [1] * 20


class TestWithoutApproximation:
    def test_rebuilt_view_decides_and_approx_stays_none(self, device):
        x = without_approx(frac(-3, 4, device, (2,)))
        for op, want in [("abs", Fraction(3, 4)), ("relu", Fraction(0))]:
            r = getattr(x, op)()
            assert r._approx is None and value(r, (1,)) == want

    @pytest.mark.parametrize("op", ["abs", "relu"])
    def test_zero_dimensional_tensors(self, op, device):
        # The rebuilt view of a 0-d tensor has shape (1,); decisions still fit.
        x = without_approx(frac(-3, 4, device))
        r = getattr(x, op)()
        assert r.shape == () and r.to_rational() == ((3, 4) if op == "abs" else (0, 1))

    def test_sign_keeps_the_shape_of_the_rebuilt_view(self, device):
        x = without_approx(frac(-3, 4, device))
        assert x.sign().shape == (1,) and x.sign().item() == -1.0
        assert frac(-3, 4, device).sign().shape == ()


class TestClamp:
    def test_identity_when_nothing_is_replaced(self, device):
        x = frac(1, 2, device, (3,))
        assert x.clamp() is x
        assert x.clamp(0.0, 1.0) is x
        assert x.clamp(min_val=0.5) is x  # equal to the bound: not below it

    @pytest.mark.parametrize(
        "bound, want",
        [(1 / 3, Fraction(3333, 10000)), (-0.5, Fraction(-1, 2)), (0.00004, Fraction(0)),
         (-1 / 3, Fraction(-3333, 10000)), (2.99999, Fraction(29999, 10000))],
    )
    def test_bounds_are_truncated_to_ten_thousandths(self, bound, want, device):
        x = MT.from_tensor(torch.tensor([-5.0, 5.0]), device)
        r = x.clamp(min_val=bound)
        assert value(r, (0,)) == want and value(r, (1,)) == 5
        assert r._approx[0].item() == torch.tensor(bound, dtype=torch.float32).item()
        r = x.clamp(max_val=bound)
        assert value(r, (1,)) == want and value(r, (0,)) == -5

    def test_lower_bound_first(self, device):
        x = MT.from_tensor(torch.tensor([-1.0, 0.5, 2.0]), device)
        r = x.clamp(1.0, 0.0)
        assert [value(r, (i,)) for i in range(3)] == [0, 0, 0]
        assert torch.equal(r._approx.cpu(), torch.zeros(3))

    def test_both_bounds(self, device):
        x = MT.from_tensor(torch.tensor([[-2.0, 0.25], [0.75, 3.0]]), device)
        r = x.clamp(-1.0, 0.5)
        assert [value(r, idx) for idx in [(0, 0), (0, 1), (1, 0), (1, 1)]] == [-1, Fraction(1, 4), Fraction(1, 2),
                                                                               Fraction(1, 2)]
        assert torch.equal(r._approx.cpu(), torch.tensor([[-1.0, 0.25], [0.5, 0.5]]))

    def test_without_approximation(self, device):
        for shape in [(), (3,)]:
            x = without_approx(MT.from_fraction(-7, 4, shape, device))
            r = x.clamp(-1.0, 0.5)
            assert r._approx is None and r.shape == shape
            assert value(r, (0,) * len(shape)) == -1
        x = without_approx(MT.from_tensor(torch.tensor([-2.0, 0.25, 3.0]), device))
        r = x.clamp(-0.5, -0.6)  # the upper bound sees the rebuilt -1/2 of the lower one
        assert [value(r, (i,)) for i in range(3)] == [Fraction(-3, 5)] * 3

    def test_bounds_that_int_refuses(self, device):
        x = frac(1, 2, device)
        with pytest.raises(ValueError):
            x.clamp(float("nan"))
        with pytest.raises(OverflowError):
            x.clamp(0.0, float("inf"))
        with pytest.raises(OverflowError):
            x.clamp(1e305)  # 1e305 * 10000 overflows to infinity

    def test_huge_bound_is_stored_exactly(self, device):
        x = frac(1, 2, device, (1,))
        r = x.clamp(min_val=2.0**80)
        assert column(r.num, (0,)) == residues(2**80 * 10000) and column(r.denom, (0,)) == residues(10000)
