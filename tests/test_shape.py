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

from support import (TORCH_MAJOR, P, leaves_and_shape, nest, pairs_of, random_fractions, tensor_of, transposed,
                     values_of)
from varnix.orvo.kalvex import ModularTensor as MT

def unreduced_pairs(shape, seed):
    """Nested (n, d) pairs of both signs, with common factors left in."""
    rng = random.Random(seed)
    factors = rng.choices([1, -1, 2, 6], k=math.prod(shape))
    return nest([(k * rng.randrange(-99, 100), k * rng.randrange(1, 60)) for k in factors], list(shape))


def index(*rows, dtype=torch.int64):
    return torch.tensor(rows[0] if len(rows) == 1 else rows, dtype=dtype)


def mT(t):  # the last two axes swapped: what T is for a ModularTensor
    return t.T if isinstance(t, MT) else t.transpose(-2, -1)


# Each call applied alike to a ModularTensor of the shape and to torch tensors of it.
LIKE_TORCH = {
    (2, 3): [lambda t: t.transpose(0, 1), lambda t: t.transpose(-2, -1), lambda t: t.transpose(-1, 0), mT,
             lambda t: t.unsqueeze(1), lambda t: t.unsqueeze(0).squeeze(0), lambda t: t.flatten(),
             lambda t: mT(t).flatten(), lambda t: mT(t).reshape(2, 3),
             lambda t: t.reshape(3, 2), lambda t: t.reshape((3, 2)), lambda t: t.reshape([3, 2]),
             lambda t: t.reshape(torch.Size([3, 2])), lambda t: t.reshape(3, -1), lambda t: t.reshape(np.int64(3), 2),
             lambda t: t.reshape([torch.tensor(3), 2]), lambda t: t.gather(1, index([2], [0])),
             lambda t: t.gather(-1, index([2, 2, 0], [1, 0, 1])), lambda t: t.gather(0, index([[1, 0, 1]])),
             lambda t: t.index_select(1, index([2, 0])), lambda t: t.index_select(-1, index([1, 1, 0])),
             lambda t: t.index_select(-2, index([1], dtype=torch.int32))],
    (1, 3, 1): [lambda t: t.squeeze(), lambda t: t.squeeze(0), lambda t: t.squeeze(-1), lambda t: t.squeeze(1),
                lambda t: t.squeeze().unsqueeze(-1), lambda t: t.squeeze().unsqueeze(-2), lambda t: t.flatten(),
                lambda t: t.squeeze().unsqueeze(0), lambda t: t.flatten(1), lambda t: t.flatten(0, -2)],
    (2, 3, 4): [mT, lambda t: t.transpose(0, -1), lambda t: t.flatten(1), lambda t: t.flatten(0, -2),
                lambda t: t.gather(1, index([[[0, 1, 1, 2]]] * 2)), lambda t: t.index_select(-1, index([3, 0]))],
    (1, 1): [lambda t: t.squeeze(), lambda t: t.reshape(()), lambda t: t.reshape([])],  # to the scalar shape
    # A shape-() tensor follows torch's rules for zero-dimensional tensors.
    (): [lambda t: t.transpose(0, -1), lambda t: t.squeeze(0), lambda t: t.unsqueeze(-1), lambda t: t.flatten(),
         lambda t: t.gather(0, index([0, 0, 0])), lambda t: t.gather(-1, index(0)),
         lambda t: t.index_select(0, index([0])), lambda t: t.reshape(1, 1)]
        # torch 1.13 picks the one value for any number of indices; torch 2 refuses more than one (below).
        + [lambda t: t.index_select(0, index([0, 0, 0]))] * (TORCH_MAJOR == 1),
}


@pytest.mark.parametrize("approx", [True, False])
@pytest.mark.parametrize("shape", LIKE_TORCH, ids=str)
def test_elements_move_as_torch_moves_them(shape, approx, device):
    pairs = unreduced_pairs(shape, len(shape))
    x = tensor_of(pairs, device, approx)
    positions = torch.arange(math.prod(shape)).reshape(shape)
    flat = leaves_and_shape(pairs)[0]
    for call in LIKE_TORCH[shape]:
        r, where = call(x), call(positions)
        assert r.shape == where.shape and r.num.shape == r.denom.shape == (P, *where.shape)
        assert pairs_of(r.reshape(-1)) == [flat[i] for i in where.reshape(-1).tolist()]  # moved, not rebuilt
        assert torch.equal(r._approx.cpu(), call(x._approx.cpu())) if approx else r._approx is None
        # A view where torch gives one (of both residue tensors and the approximation), a copy where it copies.
        shared = where.data_ptr() == positions.data_ptr()
        for mine, base in [(r.num, x.num), (r.denom, x.denom)] + [(r._approx, x._approx)] * approx:
            assert (mine.data_ptr() == base.data_ptr()) == shared
        assert r.primes is x.primes
    assert pairs_of(x.squeeze(None)) == pairs_of(x.squeeze())  # None: every axis of length one
    if shape == (1, 1):
        assert x.reshape().shape == () and pairs_of(x.reshape()) == flat[0]
    v = x.reshape(-1)
    assert v.T is v and (len(shape) > 0 or x.T is x)  # below rank two


@pytest.mark.parametrize("approx", [True, False])
def test_axes_out_of_range_never_reach_the_prime_axis(approx, device):
    # One place before the user axes is the prime axis of the residues.
    x = tensor_of(random_fractions((2, 3), 2), device, approx)
    v, s = tensor_of([1, 2, 3], device, approx), tensor_of((6, 4), device, approx)
    for call in (lambda: x.transpose(-3, 0), lambda: x.squeeze(-3), lambda: x.flatten(0, -3),
                 lambda: x.unsqueeze(-4), lambda: x.gather(-3, torch.zeros(2, 3, dtype=torch.int64)),
                 lambda: x.index_select(-3, torch.tensor([0])), lambda: v.gather(-2, torch.tensor([0])),
                 lambda: x.transpose(0, 2), lambda: x.squeeze(2), lambda: x.unsqueeze(3), lambda: x.flatten(2),
                 lambda: s.squeeze(1)):
        with pytest.raises(IndexError, match="Dimension out of range"):
            call()


@pytest.mark.parametrize("call, error, match", [
    *[(lambda x, a=a: x.reshape(a), RuntimeError, "is invalid for input of size") for a in (4, ())],
    *[(lambda x, a=a: x.reshape(*a), TypeError, "must be tuple of") for a in ((3.0, 2), ("3", 2), ([3], 2))],
    # A size beyond int64: "must be tuple of SymInts, but found element of type int at pos 2" from torch 1.13,
    # "failed to unpack the object at pos 2 with error "Overflow when unpacking long long ..." from torch 2.
    (lambda x: x.reshape(2**70), TypeError, "must be tuple of" if TORCH_MAJOR == 1 else "Overflow when unpacking"),
    (lambda x: x.flatten(1, 0), RuntimeError, "start_dim cannot come after end_dim"),
    (lambda x: x.gather(1, index([3], [0])), RuntimeError, "out of bounds"),
    (lambda x: x.index_select(0, index([2])), (IndexError, RuntimeError), None),  # the type depends on torch
    (lambda x: x.gather(1, [[0], [1]]), AttributeError, None),
    (lambda x: x.sum().reshape(()).gather(0, index([1])), RuntimeError, None),
    # An int32 index: torch 1.13's gather refuses it; torch 2's takes it (checked below).
    *[(lambda x: x.gather(1, index([0], [1], dtype=torch.int32)), RuntimeError, "Expected dtype int64 for index")]
    * (TORCH_MAJOR == 1),
    # Several indices into a shape-() tensor: torch 1.13 picks its one value (above); torch 2 refuses.
    *[(lambda x: x.sum().reshape(()).index_select(0, index([0, 0, 0])), RuntimeError,
       r"^index_select\(\): Index to scalar can have only 1 value, got 3 value\(s\)$")] * (TORCH_MAJOR >= 2),
])
def test_torch_errors_pass_through(call, error, match, device):
    with pytest.raises(error, match=match):
        call(tensor_of(random_fractions((2, 3), 13), device))


@pytest.mark.skipif(TORCH_MAJOR == 1, reason="torch 1.13's gather refuses an int32 index (test above)")
@pytest.mark.parametrize("approx", [True, False])
def test_gather_takes_an_int32_index_where_torch_does(approx, device):
    x = tensor_of(random_fractions((2, 3), 14), device, approx)
    picks = [[2, 0, 0], [1, 1, 2]]
    wide, narrow = x.gather(1, index(*picks)), x.gather(1, index(*picks, dtype=torch.int32))
    assert values_of(narrow) == values_of(wide) and torch.equal(narrow.num, wide.num)
    assert torch.equal(narrow.denom, wide.denom)
    assert torch.equal(narrow._approx, wide._approx) if approx else narrow._approx is None


def fraction_matmul(a, b):
    return [[sum(a[i][t] * b[t][j] for t in range(len(b))) for j in range(len(b[0]))] for i in range(len(a))]


@pytest.mark.parametrize("approx", [True, False])
def test_strided_views_as_operands(approx, device):
    a_vals, b_vals = random_fractions((3, 4), 20), random_fractions((4, 3), 21)
    a, b = tensor_of(a_vals, device, approx), tensor_of(b_vals, device, approx)
    t, at = a.T, transposed(a_vals)  # [4, 3], strided
    col, row = t.index_select(0, index([0])).T, a.index_select(0, index([2]))  # [3, 1] strided and [1, 4]
    assert values_of(col * row - b.T) == [[a_vals[i][0] * a_vals[2][j] - b_vals[j][i] for j in range(4)]
                                          for i in range(3)]
    assert Fraction(*t.sum().to_rational()) == sum(v for r in a_vals for v in r)
    assert values_of(t.sum(0)) == [sum(r) for r in a_vals] and values_of(t.sum(-1)) == [sum(c) for c in at]
    diagonal = t.gather(0, index([[0, 1, 2]])).squeeze()
    assert values_of(diagonal) == [a_vals[0][0], a_vals[1][1], a_vals[2][2]]
    assert Fraction(*diagonal.dot(t.index_select(0, index([3])).squeeze()).to_rational()) == \
        sum(a_vals[i][i] * a_vals[i][3] for i in range(3))
    assert values_of(t.matmul(b.T)) == fraction_matmul(at, transposed(b_vals))
    assert values_of(b.T.matmul(b)) == fraction_matmul(transposed(b_vals), b_vals)
    # read back from views
    corner = t.index_select(1, index([1])).squeeze(1).index_select(0, index([3]))
    f = a_vals[1][3]
    for s in (corner, corner.reshape(()), corner.unsqueeze(0).T.flatten(), corner.reshape(1, 1).squeeze()):
        assert s.to_rational() == (f.numerator, f.denominator) and values_of(s.simplify().reshape(-1)) == [f]
    assert not approx or torch.equal(t.to_float(), a.to_float().t())


def test_mismatched_approximation_raises_in_a_child_process():
    code = """
import torch
from varnix.orvo.kalvex import ModularTensor as MT
x = MT.from_fraction(1, 3, (3,), "cpu")
bad = MT(x.num, x.denom, None, torch.tensor([1., 2., 3., 4., 5.]))
for call in (lambda: bad.topk(2), lambda: bad.sort(), lambda: bad.gather(0, torch.tensor([4]))):
    try:
        call()
        raise SystemExit("no error")
    except (RuntimeError, IndexError):
        pass
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
