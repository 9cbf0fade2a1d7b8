"""ModularTensor as a tensor: building from nested rationals, reading values back
as Python numbers, indexing, sizes, cat/stack, operators and printing.

Values are checked against fractions.Fraction, shapes and error types against
what torch does with an int64 tensor of the same shape (an int64 tensor of
positions picks the expected Fractions out of a flat list)."""
import math
import numbers
import operator
from fractions import Fraction as F

import pytest
import torch

from support import BASIS, captured, nest, tensor_of
from varnix.orvo.kalvex import ModularTensor as MT

CMP = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}
ARITH = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
BINARY = {**ARITH, **CMP}
TIE = F(1, 2**40)  # 1 and 1 + TIE have the same float32 approximation


@numbers.Rational.register
class Ratio:
    """A minimal numbers.Rational that is not a Fraction (and is left unreduced)."""

    def __init__(self, n, d):
        self.numerator, self.denominator = n, d


def distinct(count, start=0):
    """`count` different fractions of both signs: -i + 1/(i + 2)."""
    return [F(-i) + F(1, i + 2) for i in range(start, start + count)]


def pick(positions, flat):
    """Nested ints (a tolist() of a position tensor) mapped to flat[i]."""
    if isinstance(positions, list):
        return [pick(p, flat) for p in positions]
    return flat[positions]


def _leaves(data):
    if isinstance(data, (list, tuple)):
        return [leaf for v in data for leaf in _leaves(v)]
    return [data]


def _pair_leaves(pairs):
    """The (n, d) leaves of nested lists of pairs."""
    return [pairs] if isinstance(pairs, tuple) else [p for v in pairs for p in _pair_leaves(v)]


def zeroed(data):
    """The nesting of `data` with every leaf 0: what torch.tensor accepts."""
    return [zeroed(v) for v in data] if isinstance(data, (list, tuple)) else 0


def positioned(shape, flat, device, offset=0):
    """(ModularTensor, int64 positions) with element k of the positions tensor = offset + k."""
    positions = torch.arange(offset, offset + math.prod(shape)).reshape(shape)
    x = MT.from_rationals(pick(positions.tolist(), flat), device) if positions.numel() else MT.zeros(shape, device)
    return x, positions


def raised(call):
    """The exception type `call()` raises (None if it returns)."""
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the type is the result
        return type(error)
    return None


def storage_ptr(t):
    return (t.untyped_storage() if hasattr(t, "untyped_storage") else t.storage()).data_ptr()


def float32_bits(t):
    return t.cpu().view(torch.int32)


# ---------------------------------------------------------------- building

@pytest.mark.parametrize("data", [7, F(-1, 3), [], [[], []], [1, F(1, 2), -3], ((1, 2), (F(3, 4), 5)),
                                  [[[F(1, 2)], [2]], [[3], [F(-4, 9)]]], [[[]]]], ids=repr)
def test_from_rationals_shape_and_values_like_torch_tensor(data, device):
    x = MT.from_rationals(data, device)
    assert x.shape == torch.tensor(zeroed(data)).shape
    expect = [F(v) for v in _leaves(data)]
    assert _leaves(x.tolist()) == expect
    assert str(x.device).startswith(device)


def test_from_rationals_takes_any_rational(device):
    x = MT.from_rationals([Ratio(-2, 6), Ratio(10, 4), True, 2**70], device)
    assert x.tolist() == [F(-1, 3), F(5, 2), 1, 2**70]


def test_approximations_match_from_fraction(device):
    values = [F(1, 3), F(-2, 7), 0, 10**30, F(1, 10**20), F(2**60 + 1, 3), 10**40, F(-1, 10**50), 1 + TIE]
    x = MT.from_rationals(values, device)
    one_by_one = torch.stack([MT.from_fraction(v.numerator, v.denominator, (), device)._approx for v in values])
    assert torch.equal(float32_bits(x._approx), float32_bits(one_by_one))


def test_huge_values_are_stored_but_unreadable(device):
    x = MT.from_rationals([10**200, F(1, 3**400)], device)
    assert x.shape == (2,)
    with pytest.raises(OverflowError):
        x.tolist()
    assert (x == MT.from_rationals([10**200, F(1, 3**400)], device)).tolist() == [True, True]
    assert (x == MT.from_rationals([10**200 + 1, F(1, 3**400 + 1)], device)).tolist() == [False, False]
    assert (x[:1] - x[:1]).tolist() == [0] and (x[1:] * 3**400).tolist() == [1]
    assert torch.isinf(MT.from_rationals(10**400, device)._approx).item()


@pytest.mark.parametrize("data", [[[1, 2], [3]], [[1], 2]], ids=repr)
def test_ragged_data_raises_what_torch_raises(data, device):
    with pytest.raises(Exception) as from_torch:
        torch.tensor(data)
    with pytest.raises(from_torch.type) as ours:
        MT.from_rationals(data, device)
    if from_torch.type is ValueError:
        assert str(ours.value) == str(from_torch.value) == "expected sequence of length 2 at dim 1 (got 1)"


@pytest.mark.parametrize("data", [["a"], [1.5], [1, [2]], [None], 0.5, [[F(1, 2)], ["x"]]], ids=repr)
def test_non_rational_data_is_a_type_error(data, device):
    with pytest.raises(TypeError):
        MT.from_rationals(data, device)


# ---------------------------------------------------------------- reading

@pytest.mark.parametrize("pairs", [(6, -4), [(6, -4), (-10, -15), (0, 7), (12, 3)],
                                   [[(2, 4), (9, -6), (5, 1)], [(-8, -2), (0, -3), (14, 21)]],
                                   [[[(1, 1), (2, 1), (3, 1)], [(4, 2), (5, 2), (6, 2)]]], [], [[], []]], ids=repr)
def test_tolist_gives_fractions_in_lowest_terms_nested_like_torch(pairs, device):
    x = tensor_of(pairs, device)
    got = x.tolist()
    assert zeroed(got) == torch.zeros(x.shape, dtype=torch.int64).tolist()
    for value, (n, d) in zip(_leaves(got), _pair_leaves(pairs), strict=True):
        assert type(value) is F and value == F(n, d)
        assert value.denominator > 0 and math.gcd(value.numerator, value.denominator) == 1


def test_tolist_of_from_fraction_and_results(device):
    assert MT.from_fraction(6, -4, (2,), device).tolist() == [F(-3, 2)] * 2
    a, b = [0.1, 0.25, -1.5, 1e-9], [0.2, 0.5, 3.0, -7.75]
    x = MT.from_tensor(torch.tensor(a, dtype=torch.float64), device)
    y = MT.from_tensor(torch.tensor(b, dtype=torch.float64), device)
    pairs = list(zip(map(captured, a), map(captured, b)))
    assert (x + y).tolist() == [p + q for p, q in pairs]
    assert (x * y - y).tolist() == [p * q - q for p, q in pairs]
    assert (x / y).tolist() == [p / q for p, q in pairs]


def test_zero_denominator_is_a_zero_division_error(device):
    with pytest.raises(ZeroDivisionError):
        (MT.from_int(1, (2,), device) / MT.zeros((2,), device)).tolist()


@pytest.mark.parametrize("shape", [(), (1,), (1, 1)])
def test_item_of_one_element(shape, device):
    value = MT.from_fraction(-14, 6, shape, device).item()
    assert type(value) is F and value == F(-7, 3)


@pytest.mark.parametrize("value", [F(1, 3), F(-7, 2), F(2**60 + 1, 3), F(3, 2**60 + 1), F(2**53 + 1),
                                   F(10**40 + 1, 10**20 - 1), F(-(2**70) - 1, 2**17 + 3), 0, F(1, 10**100)], ids=str)
def test_float_and_int_conversions_are_exact(value, device):
    x = MT.from_rationals(value, device)
    assert float(x) == float(value)
    assert int(x) == int(value) and type(int(x)) is int


@pytest.mark.parametrize("convert", [float, int, operator.methodcaller("item")], ids=["float", "int", "item"])
def test_conversions_refuse_many_elements_and_unreadable_values(convert, device):
    with pytest.raises(ValueError):
        convert(MT.from_rationals([1, 2], device))
    with pytest.raises(OverflowError):
        convert(MT.from_int(10**200, (1,), device) / 3**200)


ONE_ELEMENT_TRUTH = [((1, 3), True), ((0, 1), False), ((0, -5), False), ([[(-1, 10**9)]], True), ([(0, 12)], False),
                     ((BASIS[0], 1), True), ((BASIS[0] * BASIS[1], 2), True)]


@pytest.mark.parametrize("pairs, expected", ONE_ELEMENT_TRUTH, ids=repr)
def test_bool_of_one_element(pairs, expected, device):
    assert bool(tensor_of(pairs, device)) is expected


@pytest.mark.parametrize("shape", [(3,), (0,), (2, 0), (1, 2)])
def test_bool_of_other_sizes_raises_like_torch(shape, device):
    assert raised(lambda: bool(torch.zeros(shape, dtype=torch.int64))) is RuntimeError
    with pytest.raises(RuntimeError):
        bool(MT.zeros(shape, device))


# ---------------------------------------------------------------- indexing and sizes

FLAT = distinct(60)
REFERENCE = torch.arange(60).reshape(3, 4, 5)
MASK_ROWS = torch.tensor([True, False, True])
MASK_PLANE = torch.tensor([[True, False, True, True], [False, False, True, False], [True, True, False, False]])
BASIC_KEYS = [0, -1, (1, 2), (1, 2, 3), slice(1, 3), (slice(None), 1), (Ellipsis, 2), (0, Ellipsis), None,
              (None, 1), (slice(None, None, 2),), (slice(None), slice(1, None, 2), -2)]
ADVANCED_KEYS = [torch.tensor([2, 0]), [0, 2], (torch.tensor([0, 2]), slice(None), torch.tensor([1, 3])),
                 MASK_ROWS, MASK_PLANE, (1, torch.tensor([3, 3, 0]))]


@pytest.fixture
def x345(device):
    return MT.from_rationals(pick(REFERENCE.tolist(), FLAT), device)


@pytest.mark.parametrize("key", BASIC_KEYS + ADVANCED_KEYS, ids=repr)
def test_indexing_picks_what_torch_picks(key, x345):
    got, want = x345[key], REFERENCE[key]
    assert got.shape == want.shape
    assert got.tolist() == pick(want.tolist(), FLAT)
    assert got._approx.shape == want.shape
    basic = any(key is k for k in BASIC_KEYS)
    for field in ("num", "denom", "_approx"):
        shares = storage_ptr(getattr(got, field)) == storage_ptr(getattr(x345, field))
        assert shares is basic, field


@pytest.mark.parametrize("key", [3, -4, (0, 0, 5), (0, 0, 0, 0), torch.tensor([True, False]),
                                 torch.ones(4, 4, dtype=torch.bool), torch.tensor([0, 3])], ids=repr)
def test_bad_indices_raise_what_torch_raises(key, x345):
    expected = raised(lambda: REFERENCE[key])
    assert expected is IndexError
    with pytest.raises(expected):
        x345[key]


def test_zero_dim_tensor_cannot_be_indexed_or_iterated(device):
    x0, t0 = MT.from_rationals(F(1, 2), device), torch.tensor(1)
    for call in (lambda v: v[0], len, lambda v: list(v)):
        expected = raised(lambda: call(t0))
        assert expected is not None
        with pytest.raises(expected):
            call(x0)
    assert x0[()].tolist() == F(1, 2) and x0[None].shape == (1,)


def test_sizes_and_iteration_like_torch(x345):
    t = REFERENCE
    assert (len(x345), x345.dim(), x345.ndim, x345.numel()) == (len(t), t.dim(), t.ndim, t.numel())
    assert x345.size() == t.size() and x345.size(-1) == t.size(-1) and x345.size(1) == t.size(1)
    with pytest.raises(raised(lambda: t.size(3))):
        x345.size(3)
    rows = list(x345)
    assert len(rows) == len(t) and all(isinstance(r, MT) for r in rows)
    assert [r.tolist() for r in rows] == pick(t.tolist(), FLAT)
    assert [r.tolist() for r in iter(x345[1])] == pick(t[1].tolist(), FLAT)


def test_moves_copies_and_contiguity(x345, device):
    if device == "cpu":
        assert x345.to("cpu") is x345 and x345.cpu() is x345
    else:
        assert x345.cpu().device.type == "cpu" and x345.cpu().tolist() == x345.tolist()
    copy = x345.clone()
    assert copy is not x345 and copy.tolist() == x345.tolist()
    for field in ("num", "denom", "_approx"):
        assert storage_ptr(getattr(copy, field)) != storage_ptr(getattr(x345, field))
    flipped = x345.transpose(0, 2)
    assert not flipped.num.is_contiguous()
    packed = flipped.contiguous()
    assert packed.num.is_contiguous() and packed.denom.is_contiguous()
    assert packed.shape == (5, 4, 3) and packed.tolist() == flipped.tolist()
    assert packed.tolist() == pick(REFERENCE.transpose(0, 2).tolist(), FLAT)


JOIN = [("cat", [(2, 3), (4, 3)], 0), ("cat", [(2, 3), (2, 1), (2, 2)], -1), ("cat", [(1, 2, 3), (1, 2, 2)], 2),
        ("cat", [(0, 3), (2, 3)], 0), ("cat", [(2, 1, 3), (2, 4, 3)], -2), ("cat", [(5,)], 0),
        ("stack", [(2, 3), (2, 3)], 0), ("stack", [(2, 3)] * 3, 2), ("stack", [(2, 3), (2, 3)], -1),
        ("stack", [(2, 3), (2, 3)], -3), ("stack", [(), ()], 0), ("stack", [(4,)], -1)]


@pytest.mark.parametrize("name, shapes, dim", JOIN)
def test_cat_and_stack_like_torch(name, shapes, dim, device):
    flat = distinct(sum(math.prod(s) for s in shapes))
    pieces, offset = [], 0
    for shape in shapes:
        pieces.append(positioned(shape, flat, device, offset))
        offset += math.prod(shape)
    got = getattr(MT, name)([p for p, _ in pieces], dim)
    want = getattr(torch, name)([t for _, t in pieces], dim)
    assert got.shape == want.shape and got.tolist() == pick(want.tolist(), flat)


@pytest.mark.parametrize("name, shapes, dim", [("cat", [(2, 3), (2, 4)], 0), ("stack", [(2, 3), (2, 4)], 0),
                                               ("cat", [(2, 3), (2, 3)], 2), ("cat", [(2, 3)], -3),
                                               ("stack", [(2, 3), (2, 3)], 3), ("stack", [(2,)], -3),
                                               ("cat", [(), ()], 0), ("cat", [(2,), ()], 0)])
def test_cat_and_stack_errors_like_torch(name, shapes, dim, device):
    expected = raised(lambda: getattr(torch, name)([torch.zeros(s, dtype=torch.int64) for s in shapes], dim))
    assert expected in (RuntimeError, IndexError)
    with pytest.raises(expected):
        getattr(MT, name)([MT.zeros(s, device) for s in shapes], dim)


def test_cat_and_stack_refuse_empty_lists_and_foreign_items(device):
    with pytest.raises(ValueError):
        MT.cat([], 0)
    with pytest.raises(RuntimeError):
        MT.stack([], 0)
    a = MT.ones((1, 2), device)
    for name in ("cat", "stack"):
        for other in (torch.ones(1, 2, dtype=torch.int64), 3, None):
            with pytest.raises(TypeError):
                getattr(MT, name)([a, other], 0)


# ---------------------------------------------------------------- operators

TIED_A = [1 + TIE, 1, F(1, 3), F(-1, 2**40), 1 - TIE, 5]
TIED_B = [1, 1 + TIE, F(1, 3) + F(1, 2**45), 0, 1 - TIE, F(9, 2)]


@pytest.mark.parametrize("op", CMP)
def test_comparisons_are_exact_where_approximations_tie(op, device):
    x, y = MT.from_rationals(TIED_A, device), MT.from_rationals(TIED_B, device)
    assert torch.equal(x._approx[:3], y._approx[:3])  # float32 cannot tell these apart
    result = CMP[op](x, y)
    assert isinstance(result, torch.Tensor) and result.dtype == torch.bool and result.shape == (6,)
    assert result.tolist() == [CMP[op](a, b) for a, b in zip(TIED_A, TIED_B)]


@pytest.mark.parametrize("other", [1, 2, F(1, 3), F(-1, 2**40), 0])
@pytest.mark.parametrize("op", CMP)
def test_comparisons_with_numbers_on_either_side(op, other, device):
    x = MT.from_rationals(TIED_A, device)
    assert CMP[op](x, other).tolist() == [CMP[op](a, other) for a in TIED_A]
    assert CMP[op](other, x).tolist() == [CMP[op](other, a) for a in TIED_A]


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_against_unsupported_objects(op, device):
    x = MT.from_rationals([1, 2], device)
    for other in ("s", None, object()):
        with pytest.raises(TypeError):
            CMP[op](x, other)
        with pytest.raises(TypeError):
            CMP[op](other, x)


def test_matmul_reflected_division_and_unary_operators(device):
    a = [[F(1, 2), F(-2, 3), 3], [F(5, 7), 0, F(-1, 4)]]
    b = [[F(1, 3), 2], [F(-3, 5), F(1, 9)], [1, F(-7, 2)]]
    x, y = MT.from_rationals(a, device), MT.from_rationals(b, device)
    product = x @ y
    assert product.tolist() == x.matmul(y).tolist()
    assert product.tolist() == [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(2)] for i in range(2)]
    v = [1 + TIE, F(-3, 7), F(5)]
    z = MT.from_rationals(v, device)
    assert (2 / z).tolist() == [2 / e for e in v] and (1 / z).tolist() == [1 / e for e in v]
    assert (F(1, 3) / z).tolist() == [F(1, 3) / e for e in v]
    plus = +z
    assert plus is not z and plus.tolist() == v
    assert abs(z).tolist() == z.abs().tolist() == [abs(e) for e in v]


@pytest.mark.parametrize("other", [F(1, 3), F(-5, 2), F(2**70 + 1, 3)], ids=str)
@pytest.mark.parametrize("op", ["+", "-", "*", "/", "=="])
def test_fraction_operands_on_either_side(op, other, device):
    v = [F(1, 2), F(-7, 3), 5, other]
    x = MT.from_rationals(v, device)
    fn = BINARY[op]
    assert fn(x, other).tolist() == [fn(e, other) for e in v]
    assert fn(other, x).tolist() == [fn(other, e) for e in v]


@pytest.mark.parametrize("number", [2.75, -2.75, 0.5, 7, -(2**70)], ids=str)
@pytest.mark.parametrize("op", ["+", "-", "*"])
def test_int_and_float_operands_go_through_int(op, number, device):
    v = [F(1, 2), F(-7, 3), 5]
    x, fn = MT.from_rationals(v, device), ARITH[op]
    assert fn(x, number).tolist() == [fn(e, int(number)) for e in v]
    assert fn(number, x).tolist() == [fn(int(number), e) for e in v]


SHAPE_PAIRS = [((2, 3), (3,)), ((3, 1), ()), ((), (1,)), ((2, 1, 3), (4, 1)), ((4, 1), (2, 1, 3)), ((1,), (2, 2)),
               ((5, 1, 1), (1, 4)), ((), ())]
VALUES = [F(1, 2), F(-3, 4), 2, F(5, 3), -1, F(2, 4), F(7, 5)]


@pytest.mark.parametrize("op", BINARY)
@pytest.mark.parametrize("shapes", SHAPE_PAIRS, ids=str)
def test_broadcasting_across_ranks(shapes, op, device):
    (sa, sb), fn = shapes, BINARY[op]
    va = [VALUES[k % 7] for k in range(math.prod(sa))]
    vb = [VALUES[(3 * k + 5) % 7] for k in range(math.prod(sb))]
    (x, ia), (y, ib) = positioned(sa, va, device), positioned(sb, vb, device)
    ea, eb = torch.broadcast_tensors(ia, ib)
    shape = torch.broadcast_shapes(sa, sb)
    result = fn(x, y)
    assert result.shape == shape
    expected = [fn(va[i], vb[j]) for i, j in zip(ea.flatten().tolist(), eb.flatten().tolist())]
    assert result.tolist() == nest(expected, list(shape))


@pytest.mark.parametrize("op", BINARY)
def test_shapes_that_do_not_broadcast(op, device):
    expected = raised(lambda: BINARY[op](torch.ones(2, 3, dtype=torch.int64), torch.ones(4, dtype=torch.int64)))
    assert expected is RuntimeError
    with pytest.raises(expected):
        BINARY[op](MT.ones((2, 3), device), MT.ones((4,), device))


# ---------------------------------------------------------------- printing

def test_str_shows_exact_values_shape_and_device(device):
    x = MT.from_rationals([[F(1, 2), 3], [F(-7, 16), F(22, 7)]], device)
    text = str(x)
    for piece in ("1/2", "3", "-7/16", "22/7", "shape=(2, 2)", str(x.device)):
        assert piece in text
    assert repr(x) == f"ModularTensor(shape={x.shape}, device={x.device})" != text
    one = str(MT.from_rationals(F(-5, 3), device))
    assert one.count("-5/3") == 1 and "shape=()" in one


def test_str_abbreviates_large_tensors(device):
    text = str(MT.from_rationals([F(k, 7) for k in range(2000)], device))
    assert "..." in text and len(text) < 2000
    assert all(f"{k}/7" in text for k in (1, 2, 1998, 1999)) and "1000/7" not in text
    grid = str(MT.from_rationals([[F(i, j + 1) for j in range(100)] for i in range(50)], device))
    assert "..." in grid and len(grid) < 2000 and "49/100" in grid


def test_str_marks_unreadable_elements(device):
    text = str(MT.from_int(10**200, (2,), device))
    assert text.count("~") == 2
    mixed = str(MT.from_rationals([F(1, 2), 10**200], device))
    assert "1/2" in mixed and mixed.count("~") == 1


@pytest.mark.parametrize("slot, value", [("num", "text"), ("num", None), ("denom", "text"), ("denom", torch.zeros(3)),
                                         ("_approx", "text"), ("_approx", torch.zeros(7)), ("primes", None),
                                         ("device", 3)], ids=repr)
def test_str_of_a_damaged_record_does_not_raise(slot, value, device):
    x = MT.from_rationals([F(1, 2), 2], device)
    setattr(x, slot, value)
    assert "ModularTensor" in str(x)
    assert "ModularTensor" in str(MT.__new__(MT))  # no slot set at all
