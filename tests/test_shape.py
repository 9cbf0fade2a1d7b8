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


# --- exact tensors built and read independently -----------------------------------------------------------------

def _flat(values):
    if isinstance(values, list):
        items = [_flat(v) for v in values]
        shape = [len(values)] + (items[0][1] if items else [])
        return [x for flat, _ in items for x in flat], shape
    return [values], []


def _pair(v):
    """(N, D) as stored: a tuple is kept unreduced, a Fraction or int as it is."""
    if isinstance(v, tuple):
        return v
    v = Fraction(v)
    return v.numerator, v.denominator


def tensor_of(values, device, approx=True):
    """A tensor holding nested lists of fractions; (n, d) tuples stay unreduced."""
    flat, shape = _flat(values)
    pairs = [_pair(v) for v in flat]
    num = torch.tensor([[n % p for n, _ in pairs] for p in BASIS], dtype=torch.int64).view(P, *shape)
    den = torch.tensor([[d % p for _, d in pairs] for p in BASIS], dtype=torch.int64).view(P, *shape)
    floats = torch.tensor([n / d for n, d in pairs], dtype=torch.float32).view(shape) if approx else None
    return MT(num.to(device), den.to(device), None, None if floats is None else floats.to(device))


def _signed(rs):
    x = sum(r * (M // p) * pow(M // p, -1, p) for r, p in zip(rs, BASIS)) % M
    return x - M if x > M // 2 else x


def _nest(flat, shape):
    if not shape:
        return flat[0]
    step = len(flat) // shape[0] if shape[0] else 0
    return [_nest(flat[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def pairs_of(t):
    """Nested (N, D) of every element, read back by CRT here, unreduced."""
    num = t.num.cpu().reshape(P, -1).t().tolist()
    den = t.denom.cpu().reshape(P, -1).t().tolist()
    return _nest([(_signed(n), _signed(d)) for n, d in zip(num, den)], list(t.shape))


def values_of(t):
    """Nested Fractions of every element."""
    def walk(x):
        return [walk(v) for v in x] if isinstance(x, list) else Fraction(*x)
    return walk(pairs_of(t))


def random_fractions(shape, seed, nonzero=False):
    rng = random.Random(seed)
    numerators = [n for n in range(-99, 100) if n or not nonzero]
    flat = [Fraction(rng.choice(numerators), rng.randrange(1, 60)) for _ in range(math.prod(shape))]
    return _nest(flat, list(shape))


def transposed(rows):
    return [list(col) for col in zip(*rows)]


def shares_storage(view, base):
    return view.data_ptr() == base.data_ptr() and view._is_view()


# --- axes ---------------------------------------------------------------------------------------------------------

class TestAxes:
    def test_transpose_forms_agree(self, device):
        rows = [[(1, 3), Fraction(-2), (5, 2)], [Fraction(7, 4), 0, (6, 4)]]
        x = tensor_of(rows, device)
        for t in (x.transpose(0, 1), x.transpose(1, 0), x.transpose(-2, -1), x.transpose(-1, 0), x.T):
            assert t.shape == (3, 2) and t.num.shape == (P, 3, 2) and t._approx.shape == (3, 2)
            assert pairs_of(t) == transposed(pairs_of(x))  # unreduced residues moved, not rebuilt
            assert torch.equal(t._approx, x._approx.t())

    def test_three_dimensional_axes(self, device):
        vals = random_fractions((2, 3, 4), 1)
        x = tensor_of(vals, device)
        t = x.transpose(0, -1)
        assert t.shape == (4, 3, 2)
        got = values_of(t)
        assert all(got[k][j][i] == vals[i][j][k] for i in range(2) for j in range(3) for k in range(4))
        assert values_of(x.T) == [transposed(m) for m in vals]

    @pytest.mark.parametrize("approx", [True, False])
    def test_negative_axes_never_reach_the_prime_axis(self, approx, device):
        # One place past the user axes would name the prime axis of the residues.
        x = tensor_of(random_fractions((2, 3), 2), device, approx)
        v = tensor_of([1, 2, 3], device, approx)
        idx = torch.zeros(2, 3, dtype=torch.int64)
        for call in (lambda: x.transpose(-3, 0), lambda: x.squeeze(-3), lambda: x.flatten(-3),
                     lambda: x.flatten(0, -3), lambda: x.unsqueeze(-4), lambda: x.gather(-3, idx),
                     lambda: x.index_select(-3, torch.tensor([0])), lambda: v.gather(-2, torch.tensor([0])),
                     lambda: v.transpose(-2, -1)):
            with pytest.raises(IndexError, match="Dimension out of range"):
                call()

    def test_positive_axes_out_of_range(self, device):
        x = tensor_of(random_fractions((2, 3), 3), device)
        for call in (lambda: x.transpose(0, 2), lambda: x.squeeze(2), lambda: x.unsqueeze(4),
                     lambda: x.flatten(2), lambda: x.index_select(2, torch.tensor([0]))):
            with pytest.raises(IndexError, match="Dimension out of range"):
                call()

    def test_unsqueeze_places(self, device):
        x = tensor_of([1, (2, 4), 3], device)
        for dim, shape in [(-1, (3, 1)), (1, (3, 1)), (0, (1, 3)), (-2, (1, 3))]:
            u = x.unsqueeze(dim)
            assert u.shape == shape and u.num.shape == (P, *shape) and u.denom.shape == (P, *shape)
            assert u._approx.shape == shape
        assert pairs_of(x.unsqueeze(-1)) == [[(1, 1)], [(2, 4)], [(3, 1)]]

    def test_squeeze(self, device):
        x = tensor_of([[[1], [2], [3]]], device)  # [1, 3, 1]
        for t, shape in [(x.squeeze(), (3,)), (x.squeeze(None), (3,)), (x.squeeze(0), (3, 1)),
                         (x.squeeze(-1), (1, 3)), (x.squeeze(1), (1, 3, 1))]:
            assert t.shape == shape and t.num.shape == (P, *shape) and t._approx.shape == shape
        assert values_of(x.squeeze()) == [1, 2, 3]
        # The prime axis stays, even where the user shape is all ones.
        one = tensor_of([[(5, 7)]], device)
        assert one.squeeze().num.shape == (P,) and one.squeeze().shape == ()

    def test_flatten(self, device):
        vals = random_fractions((2, 3, 4), 4)
        x = tensor_of(vals, device)
        for args, shape in [((), (24,)), ((1,), (2, 12)), ((0, -2), (6, 4)), ((0, 1), (6, 4)), ((-2, -1), (2, 12)),
                            ((1, 1), (2, 3, 4))]:
            f = x.flatten(*args)
            assert f.shape == shape and f.num.shape == (P, *shape) and f._approx.shape == shape
        flat = values_of(x.flatten())
        assert flat == [v for plane in vals for row in plane for v in row]
        with pytest.raises(RuntimeError, match="start_dim cannot come after end_dim"):
            x.flatten(2, 1)

    def test_T_of_low_rank_is_self(self, device):
        bare = tensor_of([1], device)
        for x in (tensor_of([1, 2], device), tensor_of((3, 4), device), MT(bare.num, bare.denom)):
            assert x.T is x

    def test_int_arguments_are_exact(self, device):
        x = tensor_of([[1, 2]], device)
        for call in (lambda: x.transpose(True, 0), lambda: x.squeeze(1.0), lambda: x.unsqueeze(np.int64(0)),
                     lambda: x.flatten(0, False), lambda: x.gather(True, torch.zeros(1, 1, dtype=torch.int64))):
            with pytest.raises(TypeError, match="has incorrect type"):
                call()


# --- scalars follow torch's rules for zero-dimensional tensors ----------------------------------------------------

class TestScalars:
    @pytest.mark.parametrize("approx", [True, False])
    def test_views_of_a_scalar(self, approx, device):
        s = tensor_of((6, 4), device, approx)
        ref = torch.tensor(1.5)
        for ours, theirs in [(s.transpose(0, -1), ref.transpose(0, -1)), (s.squeeze(0), ref.squeeze(0)),
                             (s.squeeze(), ref.squeeze()), (s.unsqueeze(-1), ref.unsqueeze(-1)),
                             (s.flatten(), ref.flatten()), (s.reshape(1, 1), ref.reshape(1, 1))]:
            assert ours.shape == theirs.shape
            assert (ours._approx is None) != approx
            assert values_of(ours.reshape(-1)) == [Fraction(3, 2)]
            assert pairs_of(ours.reshape(())) == (6, 4)
        assert s.T is s

    @pytest.mark.parametrize("index", [torch.tensor(0), torch.tensor([0, 0, 0]), torch.tensor([0])])
    def test_selection_from_a_scalar(self, index, device):
        s = tensor_of((6, 4), device)
        ref = torch.tensor(1.5)
        for ours, theirs in [(s.gather(0, index), ref.gather(0, index)), (s.gather(-1, index), ref.gather(-1, index)),
                             (s.index_select(0, index), ref.index_select(0, index))]:
            assert ours.shape == theirs.shape and ours.num.shape == (P, *theirs.shape)
            assert torch.equal(ours._approx, theirs)
            assert pairs_of(ours.reshape(-1)) == [(6, 4)] * theirs.numel()

    def test_selection_errors_from_a_scalar(self, device):
        s = tensor_of(2, device)
        with pytest.raises(RuntimeError):
            s.gather(0, torch.tensor([1]))
        with pytest.raises(IndexError):
            s.gather(1, torch.tensor(0))


# --- views --------------------------------------------------------------------------------------------------------

class TestViews:
    def test_views_share_storage(self, device):
        x = tensor_of(random_fractions((2, 3), 5), device)
        for t in (x.transpose(0, 1), x.T, x.unsqueeze(1), x.unsqueeze(0).squeeze(0), x.reshape(3, 2), x.flatten(),
                  x.reshape(6).reshape(2, 3)):
            assert shares_storage(t.num, x.num) and shares_storage(t.denom, x.denom)
            assert shares_storage(t._approx, x._approx)
            assert t.primes is x.primes

    def test_reshape_of_a_transpose_copies_like_torch(self, device):
        vals = random_fractions((2, 3), 6)
        x = tensor_of(vals, device)
        flat = x.T.reshape(-1)
        assert flat.num.data_ptr() != x.num.data_ptr()
        assert values_of(flat) == [v for row in transposed(vals) for v in row]
        assert values_of(x.T.flatten()) == values_of(flat)

    def test_selections_copy(self, device):
        x = tensor_of(random_fractions((2, 3), 7), device)
        g = x.gather(1, torch.tensor([[0], [2]]))
        assert g.num.data_ptr() != x.num.data_ptr() and g.primes is x.primes

    def test_no_approximation_in_none_out(self, device):
        full = tensor_of(random_fractions((2, 3), 8), device)
        x = MT(full.num, full.denom)
        idx = torch.tensor([[0], [2]])
        for t in (x.transpose(0, 1), x.T, x.reshape(3, 2), x.flatten(), x.squeeze(), x.unsqueeze(0),
                  x.gather(1, idx), x.index_select(0, torch.tensor([1]))):
            assert t._approx is None
        assert values_of(x.gather(1, idx)) == values_of(full.gather(1, idx))


# --- reshape ------------------------------------------------------------------------------------------------------

class TestReshape:
    def test_argument_forms(self, device):
        vals = random_fractions((6,), 9)
        x = tensor_of(vals, device)
        expected = [vals[0:2], vals[2:4], vals[4:6]]
        for t in (x.reshape(3, 2), x.reshape((3, 2)), x.reshape([3, 2]), x.reshape(torch.Size([3, 2])),
                  x.reshape(3, -1), x.reshape(np.int64(3), 2), x.reshape([torch.tensor(3), 2])):
            assert t.shape == (3, 2) and t.num.shape == (P, 3, 2) and t._approx.shape == (3, 2)
            assert values_of(t) == expected
        assert x.reshape(-1).shape == (6,) and x.reshape(1, 1, 6, 1).shape == (1, 1, 6, 1)

    def test_one_element_to_the_scalar_shape(self, device):
        x = tensor_of([[(6, 4)]], device)
        for s in (x.reshape(()), x.reshape([]), x.reshape()):
            assert s.shape == () and s.num.shape == (P,) and s._approx.shape == ()
            assert s._approx.item() == 1.5 and pairs_of(s) == (6, 4)
            assert s.to_rational() == (3, 2)
        assert x.reshape(()).reshape(1).shape == (1,)

    def test_torch_errors_pass_through(self, device):
        x = tensor_of(random_fractions((6,), 10), device)
        with pytest.raises(RuntimeError, match="is invalid for input of size"):
            x.reshape(4)
        with pytest.raises(RuntimeError, match="invalid for input of size"):
            x.reshape(())
        for bad in ((3.0, 2), ("3", 2), ([3], 2), (2**70,)):
            with pytest.raises(TypeError, match="must be tuple of"):
                x.reshape(*bad)
        with pytest.raises(TypeError, match="unexpected keyword argument 'shape'"):
            x.reshape(shape=(6,))


# --- gather and index_select --------------------------------------------------------------------------------------

class TestSelection:
    def test_gather(self, device):
        rows = [[(1, 3), (6, 4), Fraction(-2)], [(9, 9), 0, (-5, 7)]]
        x = tensor_of(rows, device)
        index = torch.tensor([[2], [0]])
        for dim in (1, -1):
            g = x.gather(dim, index)
            assert g.shape == (2, 1) and g._approx.shape == (2, 1)
            assert pairs_of(g) == [[(-2, 1)], [(9, 9)]]
        g0 = x.gather(0, torch.tensor([[1, 0, 1]]))
        assert pairs_of(g0) == [[(9, 9), (6, 4), (-5, 7)]]
        assert torch.equal(g0._approx, x._approx.gather(0, torch.tensor([[1, 0, 1]])))

    def test_gather_of_many(self, device):
        vals = random_fractions((5, 40), 11)
        x = tensor_of(vals, device)
        index = torch.randint(0, 40, (5, 70), generator=torch.Generator().manual_seed(0))
        got = values_of(x.gather(1, index))
        assert got == [[vals[i][j] for j in index[i].tolist()] for i in range(5)]

    def test_index_select(self, device):
        x = tensor_of([(1, 3), 5, (6, 4)], device)
        s = x.index_select(0, torch.tensor([2, 0]))
        assert pairs_of(s) == [(6, 4), (1, 3)]
        assert torch.equal(s._approx, x._approx[[2, 0]])
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
        with pytest.raises(RuntimeError, match="same number of dimensions"):
            x.gather(1, torch.tensor([0]))
        with pytest.raises((IndexError, RuntimeError)):  # the type depends on the torch version
            x.index_select(0, torch.tensor([2]))
        with pytest.raises(AttributeError):
            x.gather(1, [[0], [1]])


# --- results as operands of the rest of the module ----------------------------------------------------------------

def fraction_matmul(a, b):
    return [[sum(a[i][t] * b[t][j] for t in range(len(b))) for j in range(len(b[0]))] for i in range(len(a))]


class TestComposition:
    @pytest.mark.parametrize("approx", [True, False])
    def test_arithmetic_on_strided_views(self, approx, device):
        a_vals, b_vals = random_fractions((3, 4), 20), random_fractions((4, 3), 21, nonzero=True)
        a, b = tensor_of(a_vals, device, approx), tensor_of(b_vals, device, approx)
        at = transposed(a_vals)
        ops = {"+": lambda x, y: x + y, "-": lambda x, y: x - y, "*": lambda x, y: x * y, "/": lambda x, y: x / y}
        for f in ops.values():
            want = [[f(x, y) for x, y in zip(r, s)] for r, s in zip(at, b_vals)]
            assert values_of(f(a.T, b)) == want
            assert values_of(f(b.T, a.T.T)) == [[f(y, x) for x, y in zip(r, s)] for r, s in zip(a_vals, transposed(b_vals))]
        assert values_of(-a.T) == [[-v for v in r] for r in at]
        assert bool((a.T == tensor_of(at, device)).all())
        # a transposed column broadcast against a row
        col = a.T.index_select(0, torch.tensor([0])).T  # [3, 1], strided
        row = a.index_select(0, torch.tensor([2]))       # [1, 4]
        assert values_of(col * row) == [[a_vals[i][0] * a_vals[2][j] for j in range(4)] for i in range(3)]
        assert values_of(col.squeeze(1).unsqueeze(0) + row.T) == \
            [[a_vals[j][0] + a_vals[2][i] for j in range(3)] for i in range(4)]

    def test_matmul_with_transposed_operands(self, device):
        a_vals, b_vals = random_fractions((4, 3), 22), random_fractions((4, 5), 23)
        a, b = tensor_of(a_vals, device), tensor_of(b_vals, device)
        got = a.T.matmul(b)
        assert values_of(got) == fraction_matmul(transposed(a_vals), b_vals)
        assert values_of(b.T.matmul(a)) == fraction_matmul(transposed(b_vals), a_vals)
        sq = tensor_of(random_fractions((3, 3), 24), device)
        assert values_of(sq.T.matmul(sq.T)) == fraction_matmul(transposed(values_of(sq)), transposed(values_of(sq)))

    @pytest.mark.parametrize("approx", [True, False])
    def test_reductions_of_views(self, approx, device):
        vals = random_fractions((3, 5), 25)
        x = tensor_of(vals, device, approx)
        t = x.T
        assert Fraction(*t.sum().to_rational()) == sum(v for r in vals for v in r)
        assert values_of(t.sum(0)) == [sum(r) for r in vals]
        assert values_of(t.sum(-1)) == [sum(vals[i][j] for i in range(3)) for j in range(5)]
        row = x.index_select(0, torch.tensor([1])).squeeze(0)
        col = t.gather(0, torch.tensor([[0, 1, 2]])).squeeze()
        assert Fraction(*row.dot(t.index_select(1, torch.tensor([2])).squeeze()).to_rational()) == \
            sum(a * b for a, b in zip(vals[1], vals[2]))
        assert values_of(col) == [vals[0][0], vals[1][1], vals[2][2]]

    def test_read_back_of_views(self, device):
        x = tensor_of([[(6, 4), (-1, 3)], [(2, 5), (7, 1)]], device)
        one = x.T.gather(1, torch.tensor([[1], [0]])).index_select(0, torch.tensor([0])).squeeze()
        assert one.shape == () and one.to_rational() == (2, 5)
        assert str(one.to_decimal()) == "0.4"
        corner = x.T.index_select(0, torch.tensor([1])).index_select(1, torch.tensor([1])).reshape(1)
        assert corner.to_rational() == (7, 1)
        simple = x.reshape(4).index_select(0, torch.tensor([0])).simplify()
        assert pairs_of(simple) == [(3, 2)]
        assert torch.equal(x.T.to_float(), x._approx.t())

    def test_squeezed_one_element_reads_back(self, device):
        x = tensor_of([[[(-9, 12)]]], device)
        for s in (x.squeeze(), x.reshape(()), x.flatten(), x.squeeze(0).squeeze(0), x.T.squeeze(-1).squeeze(-1)):
            assert s.to_rational() == (-3, 4)


# --- malformed records raise, never crash ---------------------------------------------------------------------------

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
