"""Constant residue rows held as broadcast views: a row that is one value for
every element (captured denominators, both halves of filled constants) is held
once per prime, and operations keep such rows where their result's are
constant.  Every operation gives the same residues, approximations and errors
for such operands as for the values written out, which take the general paths.
"""
import itertools
from fractions import Fraction

import pytest
import torch

from support import BASIS, assert_same, literal_binary, storage_bytes
import varnix.orvo.kalvex as kx
from varnix.orvo.kalvex import ModularTensor as MT


def written_out(x):
    """x with residues and approximation materialised, the same value otherwise."""
    out = x.contiguous()
    assert out.num.is_contiguous() and out.denom.is_contiguous()
    return out


def constant_rows(t):
    """Every user axis of t is broadcast (stride 0) or of length 1."""
    return all(stride == 0 or size == 1 for size, stride in zip(t.shape[1:], t.stride()[1:]))


def outcome(fn, *args):
    """What fn(*args) gives: its value, or the type and message of its error."""
    try:
        return fn(*args)
    except Exception as error:  # the errors are compared, not hidden
        return (type(error), str(error))


def operands(device, shape, seed=0):
    """Tensors of `shape` whose rows are constant in one or both halves."""
    g = torch.Generator().manual_seed(seed)
    eighths = (torch.randint(-16, 17, shape, generator=g) / 8).double()  # zeros, ties and signs
    doubles = torch.randn(shape, generator=g, dtype=torch.float64)
    return {
        "captured": MT.from_tensor(eighths, device), "captured2": MT.from_tensor(doubles, device),
        "fraction": MT.from_fraction(-5, 7, shape, device), "integer": MT.from_int(3, shape, device),
        "zeros": MT.zeros(shape, device), "ones": MT.ones(shape, device),
        "over_prime": MT.from_fraction(1, BASIS[0], shape, device),  # a denominator residue 0 in one row
        "scaled": MT.from_tensor(doubles, device) / MT.from_fraction(3, 4, shape, device),
        "over_zero": MT.from_tensor(eighths, device) / MT.zeros(shape, device),  # zero denominators
    }


def index(device, rows):
    return torch.tensor(rows, device=device)


UNARY = {
    "sign family": lambda x: (-x, x.abs(), x.sign(), x.relu(), x.clamp(-0.5, 0.75), x.clamp(min_val=0.25)),
    "powers": lambda x: (x.pow(3), x.pow(0), x.pow(-2), x.square(), x.reciprocal()),
    "number_ops": lambda x: (2 + x, x - 3, 5 - x, x * 2, 3 * x, x / 2, x == 0),
    "sums": lambda x: (x.sum(), x.sum(0), x.sum(-1), x._sum_dim(1), x.prod()),
    "statistics": lambda x: (x.norm(1), x.norm(2), x.var(), x.std(), x.var(0)),
    "extremes": lambda x: (x.max(), x.min(), x.argmax(), x.argmin(), x.all(), x.any()),
    "float views": lambda x: (x.to_float(), MT(x.num, x.denom, x.primes).to_float(), repr(x), x.shape),
    "running": lambda x: (x.flatten().cumsum(), x.flatten().cumprod()),
    "views": lambda x: (x.gather(1, index(x.device, [[0, 0], [2, 1], [1, 2]])), x.reshape(9), x.reshape(1, 9),
                        x.index_select(0, index(x.device, [2, 0, 2])), x.flatten(), x.transpose(0, 1), x.T,
                        x.unsqueeze(0).squeeze(0), x.unsqueeze(1), x.unsqueeze(0).squeeze()),
    "views_combined": lambda x: ((x.T + x).sum(1), x.index_select(1, index(x.device, [1, 2, 0])) * x,
                                 x.gather(0, index(x.device, [[2, 1, 0]])).sum(), x.T.reshape(9).cumsum()),
    "ordering": lambda x: (x.sort(1), x.sort(0, True), x.argsort(), x.topk(2)),
    "linalg": lambda x: (x.trace(), x.det(),
                         x.reshape(9).index_select(0, index(x.device, [0, 1, 3, 4])).reshape(2, 2).inv()),
    "self_products": lambda x: (x.flatten().dot(x.flatten()), x.matmul(x), x.matmul(x.T)),
    "read_back": lambda x: (x.sum().simplify(), x.sum().to_rational(), x.sum().to_decimal(),
                            x.max().to_rational(), x.reshape(9).index_select(0, index(x.device, [4])).simplify()),
    "series": lambda x: tuple(f(x.max(), 4) for f in (kx.exp_taylor, kx.sin_taylor, kx.cos_taylor, kx.log1p_taylor,
                                                     kx.sqrt_taylor)) + (kx.sqrt_newton(x.square().sum() + 1, 3),),
}

BINARY = {
    "arithmetic": lambda x, y: (x + y, x - y, x * y, x / y, x == y),
    "order": lambda x, y: (x.ne(y), x.lt(y), x.le(y), x.gt(y), x.ge(y),
                           x.where(index(x.device, [[True, False, True]] * 3), y)),
    "products": lambda x, y: (x.flatten().dot(y.flatten()), x.matmul(y), x.solve(y.sum(1))),
    "through_views": lambda x, y: (x.T + y, x * y.T, x.index_select(0, index(x.device, [1])) - y,
                                   x.reshape(9) / y.flatten()),
    "chained": lambda x, y: ((x + y) * (x - y)).sum(0) / (x * y + 1).sum(),
}
ARITHMETIC = [lambda x, y: x + y, lambda x, y: x - y, lambda x, y: x * y, lambda x, y: x / y, lambda x, y: x == y]


class TestSameResults:
    """Broadcast operands against the same values written out."""

    @pytest.mark.parametrize("name", UNARY)
    def test_unary(self, name, device):
        for label, x in operands(device, (3, 3)).items():
            assert_same(outcome(UNARY[name], x), outcome(UNARY[name], written_out(x))), label

    @pytest.mark.parametrize("name", BINARY)
    def test_binary_in_every_mix(self, name, device):
        items = operands(device, (3, 3), seed=1)
        for (lx, x), (ly, y) in itertools.product(items.items(), repeat=2):
            want = outcome(BINARY[name], written_out(x), written_out(y))
            for a, b in [(x, y), (x, written_out(y)), (written_out(x), y)]:
                assert_same(outcome(BINARY[name], a, b), want), (lx, ly)

    @pytest.mark.parametrize("shape", [(), (1,), (4,), (2, 1, 3), (0,), (2, 0)])
    def test_other_shapes(self, shape, device):
        ops = ARITHMETIC + [lambda x, y: x * y - x, lambda x, y: (x.sum(), -x, x.to_float(), x.abs().relu())]
        if shape:
            ops.append(lambda x, y: (x.sum(0), x.sum(-1), x.squeeze()))
        items = operands(device, shape, seed=2)
        for (lx, x), (ly, y) in itertools.product(items.items(), repeat=2):
            for op in ops:
                assert_same(outcome(op, x, y), outcome(op, written_out(x), written_out(y))), (lx, ly, shape)

    def test_long_rows_and_many_threads(self, device):
        # Rows longer than the blocks the kernels read constants in, split across threads.
        items = operands(device, (2, 4099), seed=3)
        x, y, c = items["captured2"], items["scaled"], items["fraction"]
        for a, b in [(x, y), (y, c), (c, x), (x.T, y.T)]:
            for op in ARITHMETIC:
                assert_same(op(a, b), op(written_out(a), written_out(b)))
        for a in x, y, c:
            for op in [lambda t: (t.sum(), t.sum(0), t.sum(-1), t._sum_dim(1), t.prod()), UNARY["sign family"],
                       UNARY["float views"]]:
                assert_same(op(a), op(written_out(a)))

    def test_records_broadcast_along_some_axes(self, device):
        # Rows constant along one user axis only take the general paths.
        base = operands(device, (1, 3), seed=4)["captured2"]
        x = MT(base.num.expand(-1, 4, 3), base.denom.expand(-1, 4, 3), base.primes, base._approx.expand(4, 3))
        y = operands(device, (4, 3), seed=5)["scaled"]
        for op in [lambda a: a + y, lambda a: y / a, lambda a: a.sum(0), lambda a: a.sum(), lambda a: a.matmul(y.T),
                   lambda a: a.to_float(), lambda a: a.flatten().dot(y.flatten()), lambda a: -a]:
            assert_same(outcome(op, x), outcome(op, written_out(x)))


class TestValues:
    """Broadcast operands against exact values computed independently."""

    def test_captured_arithmetic_is_the_literal_formula(self, device):
        g = torch.Generator().manual_seed(6)
        x = MT.from_tensor(torch.randn(700, generator=g, dtype=torch.float64), device)
        y = MT.from_tensor(torch.randn(700, generator=g, dtype=torch.float64), device)
        for op, f in zip("+-*/", ARITHMETIC):
            num, den = literal_binary(op, written_out(x), written_out(y))
            r = f(x, y)
            assert torch.equal(r.num, num) and torch.equal(r.denom, den), op
        assert torch.equal(x == y, literal_binary("==", written_out(x), written_out(y)))

    def test_large_denominators_read_back_element_by_element(self, device):
        # 100/3^300 does not come back from one reading of the total: the sum
        # adds chunks, then elements, over a common denominator.
        x = MT.from_fraction(1, 3**300, (100,), device)
        total = x.sum()
        assert_same(total, written_out(x).sum())
        assert Fraction(*total.to_rational()) == Fraction(100, 3**300)


class TestConstantRowsKept:
    """Where rows are constant, results are held once per prime."""

    def test_constructors_and_operations_keep_them(self, device):
        for x in (MT.zeros((10**7,), device), MT.ones((10**7,), device), MT.from_int(7, (10**7,), device),
                  MT.from_fraction(2**80, 3, (10**7,), device)):  # memory does not grow with the shape
            assert constant_rows(x.num) and constant_rows(x.denom)
            assert storage_bytes(x.num) + storage_bytes(x.denom) + storage_bytes(x._approx) <= 2 * 20 * 8 + 8
            assert x.shape == torch.Size([10**7]) and x._approx.shape == (10**7,)
        captured_tensor = MT.from_tensor(torch.ones(4, 5, dtype=torch.float64), device)
        assert constant_rows(captured_tensor.denom) and captured_tensor.num.is_contiguous()
        items = operands(device, (3, 4), seed=7)
        c, c2, f = items["captured"], items["captured2"], items["fraction"]
        for r in (c + c2, c - c2, c * c2, c / f, -c, c.abs(), c.pow(2), c.sum(0), c._sum_dim(1),
                  c.matmul(c2.T), 2 * c + 1, c.T + c2.T, c.sort()[0], c.sort(0, True)[0], c.topk(2)[0]):
            assert constant_rows(r.denom) and not constant_rows(r.num)
        for r in (f + f, f * items["integer"], -f, f.sum(1), f.matmul(f.T), f.T, f.sort()[0], f.topk(2, 0)[0]):
            assert constant_rows(r.num) and constant_rows(r.denom)
        # the float view of constant values is one value, broadcast
        assert constant_rows(MT(f.num, f.denom).to_float().unsqueeze(0))
        assert constant_rows((f + f)._approx.unsqueeze(0))
