"""Indexing and shape operations: axes, views, argument forms, torch's errors,
and the results as operands of the rest of the module."""
import math
import random
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
import torch

from support import BASIS
from varnix.orvo.kalvex import ModularTensor as MT

P = len(BASIS)
M = math.prod(BASIS)


def _flat(values):
    """Leaves and shape of nested lists; a leaf is a number or an (n, d) tuple."""
    if not isinstance(values, list):
        return [values], []
    parts = [_flat(v) for v in values]
    return [x for leaves, _ in parts for x in leaves], [len(values)] + (parts[0][1] if parts else [])


def _nest(flat, shape):
    if not shape:
        return flat[0]
    step = len(flat) // shape[0] if shape[0] else 0
    return [_nest(flat[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def tensor_of(values, device, approx=True):
    """A tensor of nested lists of fractions; (n, d) tuples are stored unreduced."""
    flat, shape = _flat(values)
    pairs = [v if isinstance(v, tuple) else (Fraction(v).numerator, Fraction(v).denominator) for v in flat]
    num = torch.tensor([[n % p for n, _ in pairs] for p in BASIS], dtype=torch.int64).view(P, *shape)
    den = torch.tensor([[d % p for _, d in pairs] for p in BASIS], dtype=torch.int64).view(P, *shape)
    floats = torch.tensor([n / d for n, d in pairs], dtype=torch.float32).view(shape).to(device) if approx else None
    return MT(num.to(device), den.to(device), None, floats)


def _signed(rs):
    x = sum(r * (M // p) * pow(M // p, -1, p) for r, p in zip(rs, BASIS)) % M
    return x - M if x > M // 2 else x


def pairs_of(t):
    """Nested (N, D) of every element, read back here by CRT, unreduced."""
    num = t.num.cpu().reshape(P, -1).t().tolist()
    den = t.denom.cpu().reshape(P, -1).t().tolist()
    return _nest([(_signed(n), _signed(d)) for n, d in zip(num, den)], list(t.shape))


def values_of(t):
    flat, shape = _flat(pairs_of(t))
    return _nest([Fraction(*pair) for pair in flat], shape)


def random_fractions(shape, seed, nonzero=False):
    rng = random.Random(seed)
    numerators = [n for n in range(-99, 100) if n or not nonzero]
    return _nest([Fraction(rng.choice(numerators), rng.randrange(1, 60)) for _ in range(math.prod(shape))],
                 list(shape))


def transposed(rows):
    return [list(col) for col in zip(*rows)]


class TestAxes:
    def test_transpose(self, device):
        rows = [[(1, 3), -2, (5, 2)], [(7, 4), 0, (6, 4)]]
        x = tensor_of(rows, device)
        for t in (x.transpose(0, 1), x.transpose(-2, -1), x.transpose(-1, 0), x.T):
            assert t.shape == (3, 2) and t.num.shape == t.denom.shape == (P, 3, 2)
            assert pairs_of(t) == transposed(pairs_of(x))  # residues moved, not rebuilt
            assert torch.equal(t._approx, x._approx.t())
        cube = random_fractions((2, 3, 4), 1)
        c = tensor_of(cube, device)
        assert values_of(c.T) == [transposed(m) for m in cube]
        assert values_of(c.transpose(0, -1))[3][1][0] == cube[0][1][3]

    @pytest.mark.parametrize("approx", [True, False])
    def test_axes_out_of_range_never_reach_the_prime_axis(self, approx, device):
        # One place before the user axes is the prime axis of the residues.
        x = tensor_of(random_fractions((2, 3), 2), device, approx)
        v = tensor_of([1, 2, 3], device, approx)
        for call in (lambda: x.transpose(-3, 0), lambda: x.squeeze(-3), lambda: x.flatten(0, -3),
                     lambda: x.unsqueeze(-4), lambda: x.gather(-3, torch.zeros(2, 3, dtype=torch.int64)),
                     lambda: x.index_select(-3, torch.tensor([0])), lambda: v.gather(-2, torch.tensor([0])),
                     lambda: x.transpose(0, 2), lambda: x.squeeze(2), lambda: x.unsqueeze(3), lambda: x.flatten(2)):
            with pytest.raises(IndexError, match="Dimension out of range"):
                call()

    def test_squeeze_unsqueeze_flatten(self, device):
        x = tensor_of([[[1], [(2, 4)], [3]]], device)  # [1, 3, 1]
        cases = [(x.squeeze(), (3,)), (x.squeeze(None), (3,)), (x.squeeze(0), (3, 1)), (x.squeeze(-1), (1, 3)),
                 (x.squeeze(1), (1, 3, 1)), (x.squeeze().unsqueeze(-1), (3, 1)), (x.squeeze().unsqueeze(-2), (1, 3)),
                 (x.squeeze().unsqueeze(0), (1, 3)), (x.flatten(), (3,)), (x.flatten(1), (1, 3)),
                 (x.flatten(0, -2), (3, 1))]
        for t, shape in cases:
            assert t.shape == shape and t.num.shape == t.denom.shape == (P, *shape) and t._approx.shape == shape
            assert pairs_of(t.reshape(-1)) == [(1, 1), (2, 4), (3, 1)]
        cube = tensor_of(random_fractions((2, 3, 4), 3), device)
        assert cube.flatten(1).shape == (2, 12) and cube.flatten(0, -2).shape == (6, 4)
        # The prime axis stays when every user axis goes.
        assert tensor_of([[(5, 7)]], device).squeeze().num.shape == (P,)
        with pytest.raises(RuntimeError, match="start_dim cannot come after end_dim"):
            cube.flatten(2, 1)

    def test_T_below_rank_two_is_self(self, device):
        bare = tensor_of([1], device)
        for x in (tensor_of([1, 2], device), tensor_of((3, 4), device), MT(bare.num, bare.denom)):
            assert x.T is x


class TestScalars:
    """A shape-() tensor follows torch's rules for zero-dimensional tensors."""

    @pytest.mark.parametrize("approx", [True, False])
    def test_views_and_selections(self, approx, device):
        s = tensor_of((6, 4), device, approx)
        ref = torch.tensor(1.5)
        three = torch.tensor([0, 0, 0])
        for ours, theirs in [(s.transpose(0, -1), ref.transpose(0, -1)), (s.squeeze(0), ref.squeeze(0)),
                             (s.unsqueeze(-1), ref.unsqueeze(-1)), (s.flatten(), ref.flatten()),
                             (s.gather(0, three), ref.gather(0, three)),
                             (s.gather(-1, torch.tensor(0)), ref.gather(-1, torch.tensor(0))),
                             (s.index_select(0, three), ref.index_select(0, three))]:
            assert ours.shape == theirs.shape and ours.num.shape == (P, *theirs.shape)
            assert pairs_of(ours.reshape(-1)) == [(6, 4)] * theirs.numel()
            assert (ours._approx is None) if not approx else torch.equal(ours._approx, theirs)
        with pytest.raises(RuntimeError):
            s.gather(0, torch.tensor([1]))
        with pytest.raises(IndexError):
            s.squeeze(1)


class TestViews:
    def test_views_share_storage(self, device):
        x = tensor_of(random_fractions((2, 3), 5), device)
        for t in (x.transpose(0, 1), x.T, x.unsqueeze(1), x.unsqueeze(0).squeeze(0), x.reshape(3, 2), x.flatten()):
            for view, base in ((t.num, x.num), (t.denom, x.denom), (t._approx, x._approx)):
                assert view._is_view() and view.data_ptr() == base.data_ptr()
            assert t.primes is x.primes
        # torch copies where no view exists
        assert x.T.reshape(-1).num.data_ptr() != x.num.data_ptr()
        assert values_of(x.T.flatten()) == [v for row in transposed(values_of(x)) for v in row]

    def test_no_approximation_in_none_out(self, device):
        full = tensor_of(random_fractions((2, 3), 6), device)
        x = MT(full.num, full.denom)
        for t in (x.T, x.reshape(3, 2), x.flatten(), x.squeeze(), x.unsqueeze(0), x.gather(1, torch.tensor([[0]])),
                  x.index_select(0, torch.tensor([1]))):
            assert t._approx is None


class TestReshape:
    def test_argument_forms(self, device):
        vals = random_fractions((6,), 9)
        x = tensor_of(vals, device)
        for t in (x.reshape(3, 2), x.reshape((3, 2)), x.reshape([3, 2]), x.reshape(torch.Size([3, 2])),
                  x.reshape(3, -1), x.reshape(np.int64(3), 2), x.reshape([torch.tensor(3), 2])):
            assert t.shape == (3, 2) and t.num.shape == (P, 3, 2) and t._approx.shape == (3, 2)
            assert values_of(t) == [vals[0:2], vals[2:4], vals[4:6]]
        assert x.reshape(-1).shape == (6,)

    def test_one_element_to_the_scalar_shape(self, device):
        x = tensor_of([[(6, 4)]], device)
        for s in (x.reshape(()), x.reshape([]), x.reshape()):
            assert s.shape == () and s.num.shape == (P,) and s._approx.shape == () and s._approx.item() == 1.5
            assert pairs_of(s) == (6, 4) and s.to_rational() == (3, 2)

    def test_torch_errors_pass_through(self, device):
        x = tensor_of(random_fractions((6,), 10), device)
        for shape in ((4,), ()):
            with pytest.raises(RuntimeError, match="is invalid for input of size"):
                x.reshape(*shape)
        for bad in ((3.0, 2), ("3", 2), ([3], 2), (2**70,)):
            with pytest.raises(TypeError, match="must be tuple of"):
                x.reshape(*bad)


class TestSelection:
    def test_gather(self, device):
        x = tensor_of([[(1, 3), (6, 4), -2], [(9, 9), 0, (-5, 7)]], device)
        for dim in (1, -1):
            g = x.gather(dim, torch.tensor([[2], [0]]))
            assert g.shape == (2, 1) and pairs_of(g) == [[(-2, 1)], [(9, 9)]]
        index = torch.tensor([[1, 0, 1]])
        g0 = x.gather(0, index)
        assert pairs_of(g0) == [[(9, 9), (6, 4), (-5, 7)]]
        assert torch.equal(g0._approx, x._approx.gather(0, index.to(device)))

    def test_index_select(self, device):
        x = tensor_of([(1, 3), 5, (6, 4)], device)
        s = x.index_select(0, torch.tensor([2, 0]))
        assert pairs_of(s) == [(6, 4), (1, 3)] and torch.equal(s._approx, x._approx[[2, 0]])
        rows = random_fractions((2, 3), 12)
        m = tensor_of(rows, device)
        assert values_of(m.index_select(-1, torch.tensor([1, 1, 0]))) == [[r[1], r[1], r[0]] for r in rows]
        assert values_of(m.index_select(0, torch.tensor([1], dtype=torch.int32))) == [rows[1]]

    def test_torch_errors_pass_through(self, device):
        x = tensor_of(random_fractions((2, 3), 13), device)
        with pytest.raises(RuntimeError, match="int64"):
            x.gather(1, torch.tensor([[0], [1]], dtype=torch.int32))
        with pytest.raises(RuntimeError, match="out of bounds"):
            x.gather(1, torch.tensor([[3], [0]]))
        with pytest.raises((IndexError, RuntimeError)):  # the type depends on the torch version
            x.index_select(0, torch.tensor([2]))
        with pytest.raises(AttributeError):
            x.gather(1, [[0], [1]])


def fraction_matmul(a, b):
    return [[sum(a[i][t] * b[t][j] for t in range(len(b))) for j in range(len(b[0]))] for i in range(len(a))]


class TestComposition:
    """Strided residue views as operands of the arithmetic, reductions, matmul and read-back."""

    @pytest.mark.parametrize("approx", [True, False])
    def test_arithmetic(self, approx, device):
        a_vals, b_vals = random_fractions((3, 4), 20), random_fractions((4, 3), 21, nonzero=True)
        a, b = tensor_of(a_vals, device, approx), tensor_of(b_vals, device, approx)
        at = transposed(a_vals)
        for f in (lambda x, y: x + y, lambda x, y: x - y, lambda x, y: x * y, lambda x, y: x / y):
            assert values_of(f(a.T, b)) == [[f(x, y) for x, y in zip(r, s)] for r, s in zip(at, b_vals)]
        assert values_of(-a.T) == [[-v for v in r] for r in at]
        assert bool((a.T == tensor_of(at, device)).all())
        col = a.T.index_select(0, torch.tensor([0])).T  # [3, 1], strided
        row = a.index_select(0, torch.tensor([2]))       # [1, 4]
        assert values_of(col * row) == [[a_vals[i][0] * a_vals[2][j] for j in range(4)] for i in range(3)]

    @pytest.mark.parametrize("approx", [True, False])
    def test_reductions_and_matmul(self, approx, device):
        vals, other = random_fractions((3, 5), 25), random_fractions((3, 4), 26)
        x, y = tensor_of(vals, device, approx), tensor_of(other, device, approx)
        t = x.T
        assert Fraction(*t.sum().to_rational()) == sum(v for r in vals for v in r)
        assert values_of(t.sum(0)) == [sum(r) for r in vals]
        assert values_of(t.sum(-1)) == [sum(vals[i][j] for i in range(3)) for j in range(5)]
        diagonal = t.gather(0, torch.tensor([[0, 1, 2]])).squeeze()
        assert values_of(diagonal) == [vals[0][0], vals[1][1], vals[2][2]]
        assert Fraction(*diagonal.dot(t.index_select(0, torch.tensor([4])).squeeze()).to_rational()) == \
            sum(vals[i][i] * vals[i][4] for i in range(3))
        assert values_of(t.matmul(y)) == fraction_matmul(transposed(vals), other)
        assert values_of(y.T.matmul(x)) == fraction_matmul(transposed(other), vals)

    def test_read_back(self, device):
        x = tensor_of([[(6, 4), (-1, 3)], [(2, 5), (-9, 12)]], device)
        one = x.T.gather(1, torch.tensor([[1], [0]])).index_select(0, torch.tensor([0])).squeeze()
        assert one.shape == () and one.to_rational() == (2, 5) and str(one.to_decimal()) == "0.4"
        corner = x.T.index_select(1, torch.tensor([1])).squeeze(1).index_select(0, torch.tensor([1]))
        for s in (corner, corner.reshape(()), corner.unsqueeze(0).T.flatten(), corner.reshape(1, 1).squeeze()):
            assert s.to_rational() == (-3, 4) and pairs_of(s.simplify().reshape(-1)) == [(-3, 4)]
        assert torch.equal(x.T.to_float(), x._approx.t())


def test_mismatched_approximation_raises_in_a_child_process():
    code = """
import torch
from varnix.orvo.kalvex import ModularTensor as MT
x = MT.from_fraction(1, 3, (3,), "cpu")
bad = MT(x.num, x.denom, None, torch.tensor([1., 2., 3., 4., 5.]))
for call in (lambda: bad.topk(2), lambda: bad.sort(), lambda: bad.gather(0, torch.tensor([4]))):
    try:
        call()
    except (RuntimeError, IndexError):
        pass
    else:
        raise SystemExit("no error")
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
