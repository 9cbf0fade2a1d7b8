"""Construction from numbers and from tensors: residues for every prime, the
float32 approximation, dtypes, devices, errors, and subclasses."""
import random
from fractions import Fraction

import pytest
import torch

import varnix.orvo.kalvex as kx
from support import BASIS, assert_filled, assert_same_float, residues, storage_bytes

MT = kx.ModularTensor
SCALE = 2**52


def short(value):
    """A readable test id for an integer of any size."""
    return str(value) if abs(value) < 10**12 else f"{'-' if value < 0 else ''}{abs(value).bit_length()}bits"

# Integers around every size boundary the host code may switch on (machine
# words, exact doubles, GMP limbs), both signs, and far beyond.
INTS = [0, 1, -1, 2, 3, -3, 6, 2**31 - 1, BASIS[0], BASIS[0] - 1, -BASIS[0], BASIS[0] * BASIS[1] * 7,
        2**53 - 1, 2**53, 2**53 + 1, -(2**53 + 1), 2**62, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 + 5,
        -(2**64), 3**200, -(3**200), 2**1000 + 1, -(7**300)]


def expected_approx(num, denom):
    """What the approximation must hold: Python's true division, stored as float32."""
    return torch.tensor(num / denom, dtype=torch.float32)


def check_fraction(x, num, denom, shape, device):
    assert type(x) is MT
    assert x.shape == torch.Size(shape)
    assert x.device.type == torch.device(device).type and x.num.device == x.device == x.denom.device
    assert_filled(x.num, num, shape)
    assert_filled(x.denom, denom, shape)
    assert x._approx.device == x.device
    assert_same_float(x._approx.cpu(), expected_approx(num, denom).expand(shape))
    assert torch.equal(x.primes.cpu(), kx.PRIMES) and x.primes.device == x.device


# --- from_fraction, from_int, zeros, ones ----------------------------------------------------------------------

@pytest.mark.parametrize("num", INTS, ids=short)
def test_from_int_any_size(num, device):
    check_fraction(MT.from_int(num, (2,), device), num, 1, (2,), device)


def test_from_int_too_large_for_a_double(device):
    for value in (10**400, -(2**1024)):
        with pytest.raises(OverflowError, match="^integer division result too large for a float$"):
            MT.from_int(value, (), device)


@pytest.mark.parametrize("num, denom", [(3, 4), (6, 4), (1, -3), (-1, -3), (0, 5), (5, 2**53 + 1), (2**53 + 1, 2**53),
                                        (-(10**400), 10**399 + 1), (1, 10**400), (10**400, -(10**300)),
                                        (2**64 + 1, 2**64 - 1), (-7, 2**63), (BASIS[3], BASIS[3])], ids=short)
def test_from_fraction_stores_unreduced_residues(num, denom, device):
    check_fraction(MT.from_fraction(num, denom, (), device), num, denom, (), device)


def test_from_fraction_examples(device):
    x = MT.from_fraction(1, -3, (), device)
    assert x.denom.tolist() == [p - 3 for p in BASIS]
    y = MT.from_int(-1, (2,), device)
    assert y.num.tolist() == [[p - 1, p - 1] for p in BASIS] and y.denom.eq(1).all()
    assert y._approx.dtype == torch.float32 and y._approx.tolist() == [-1.0, -1.0]
    assert MT.from_fraction(6, 4, (), device).num.eq(6).all()  # no reduction


def test_approximation_is_correctly_rounded_random(device):
    rng = random.Random(1234)
    for _ in range(300):
        num = rng.getrandbits(rng.choice([5, 40, 53, 54, 64, 65, 200, 1100])) * rng.choice([1, -1])
        denom = (rng.getrandbits(rng.choice([3, 53, 60, 128, 1000])) | 1) * rng.choice([1, -1])
        try:
            expected = expected_approx(num, denom)
        except OverflowError:
            with pytest.raises(OverflowError):
                MT.from_fraction(num, denom, (), device)
            continue
        assert_same_float(MT.from_fraction(num, denom, (), device)._approx, expected)


def double_rounding_cases():
    """Quotients at and around 1 + 2^-24, a float32 halfway point, scaled by 2^e.
    The float32 result depends on first rounding the exact quotient to the
    nearest double (ties to even): t is the offset in units of 2^-200, and
    2^147 is half a double ulp."""
    half_ulp = 2**147
    for e in (0, 60, -60, 500, -500):
        for t in (0, half_ulp, -half_ulp, half_ulp + 1, half_ulp - 1, -half_ulp + 1, -half_ulp - 1, 1, -1):
            for sign in (1, -1):
                middle = 2**200 + 2**176 + t
                for num, denom in ((middle, 2**200), (3 * middle + 1, 3 * 2**200)):  # the latter leaves a remainder
                    num *= sign * 2**max(e, 0)
                    denom *= 2**max(-e, 0)
                    yield num, denom


def test_approximation_rounds_through_the_double(device):
    for num, denom in double_rounding_cases():
        got = MT.from_fraction(num, denom, (), device)._approx
        assert got.item() == expected_approx(num, denom).item(), (num, denom)


@pytest.mark.parametrize("num, denom", [
    (2**1024 - 2**970, 1),            # the largest double: fine, float32 inf
    (2**1024 - 2**970 + 2**969 - 1, 1),  # rounds down to it
    (2**1024 - 2**970 + 2**969, 1),   # halfway: rounds to even, 2^1024, too large
    (2**1024, 1), (-(2**1100), 3), (3 * (2**1024 - 2**970) + 1, 3), (10**400, 10**100), (10**400, 10**92),
    (1, 2**1074), (1, 2**1075), (3, 2**1076), (-1, 2**1076), (1, 10**400), (-(10**300), 10**700),
], ids=short)
def test_overflow_and_underflow_like_python(num, denom, device):
    try:
        expected = expected_approx(num, denom)
    except OverflowError as e:
        with pytest.raises(OverflowError) as info:
            MT.from_fraction(num, denom, (), device)
        assert str(info.value) == str(e)
        return
    assert_same_float(MT.from_fraction(num, denom, (), device)._approx, expected)


def test_float32_overflow_gives_inf_without_error(device):
    assert MT.from_fraction(10**300, 1, (), device)._approx.item() == float("inf")
    assert MT.from_fraction(-(10**39), 1, (), device)._approx.item() == -float("inf")


@pytest.mark.parametrize("num, denom, sign", [(0, -1, -1), (0, -(2**100), -1), (0, 1, 1), (0, 2**100, 1),
                                              (-1, 10**400, -1), (1, -(2**2000), -1)], ids=short)
def test_zero_keeps_the_sign_of_the_quotient(num, denom, sign, device):
    approx = MT.from_fraction(num, denom, (), device)._approx
    assert approx.item() == 0.0 and torch.signbit(approx).item() == (sign < 0)


@pytest.mark.parametrize("num", [1, 0, -5, 10**400], ids=short)
def test_zero_denominator(num, device):
    with pytest.raises(ZeroDivisionError) as info:
        MT.from_fraction(num, 0, (2,), device)
    with pytest.raises(ZeroDivisionError) as python:
        num / 0
    assert str(info.value) == str(python.value)


@pytest.mark.parametrize("denom", [0, 1])
def test_shape_errors_come_from_torch_before_division(denom, device):
    with pytest.raises(Exception) as torch_error:
        torch.full((-1,), 1, dtype=torch.int64)
    with pytest.raises(type(torch_error.value)) as info:
        MT.from_fraction(10**30, denom, (-1,), device)
    assert str(info.value).split("\n")[0] == str(torch_error.value).split("\n")[0]
    with pytest.raises(type(torch_error.value)):
        MT.from_fraction(1, denom, (-1,), device)


@pytest.mark.parametrize("shape", [(), (0,), (1,), (2, 3), (3, 1, 2), (2, 0, 4)])
def test_shapes(shape, device):
    x = MT.from_fraction(-5, 7, shape, device)
    check_fraction(x, -5, 7, shape, device)
    assert x.num.shape == (20, *shape) and x._approx.shape == shape


def test_zeros_and_ones(device):
    check_fraction(MT.zeros((2, 3), device), 0, 1, (2, 3), device)
    check_fraction(MT.ones((4,), device), 1, 1, (4,), device)
    check_fraction(MT.ones((), device), 1, 1, (), device)


def test_residue_tensors_are_fresh_and_primes_shared(device):
    a = MT.from_int(3, (2,), device)
    b = MT.from_int(3, (2,), device)
    assert a.primes is b.primes and (a.primes is kx.PRIMES) == (device == "cpu")
    assert a.num.data_ptr() != b.num.data_ptr() and a.num.data_ptr() != a.denom.data_ptr()
    # each constant row is one value per prime broadcast over the shape
    for t in (a.num, a.denom):
        assert t.stride()[1:] == (0,) and storage_bytes(t) == 20 * 8


def test_default_device_is_cuda():
    if torch.cuda.is_available():
        assert MT.from_int(1).device.type == "cuda"
        return
    with pytest.raises(BaseException) as torch_error:
        kx.PRIMES.to("cuda")
    for make in (lambda: MT.from_int(1), lambda: MT.zeros(()), lambda: MT.from_tensor(torch.ones(2))):
        with pytest.raises(type(torch_error.value)) as info:
            make()
        assert str(info.value) == str(torch_error.value)


def test_bad_device_string_is_torchs_error():
    with pytest.raises(RuntimeError) as torch_error:
        torch.device("nonsense")
    with pytest.raises(RuntimeError) as info:
        MT.from_int(1, (), "nonsense")
    assert str(info.value).split("\n")[0] == str(torch_error.value).split("\n")[0]


# --- subclasses ------------------------------------------------------------------------------------------------

def test_subclass_constructors_build_the_subclass(device):
    calls = []

    class Sub(MT):
        def __init__(self, *args):
            calls.append(args)
            super().__init__(*args)

    x = Sub.from_fraction(3, 4, (2,), device)
    assert type(x) is Sub and len(calls) == 1 and len(calls[0]) == 4
    num, denom, primes, approx = calls[0]
    assert_filled(num, 3, (2,)) and assert_filled(denom, 4, (2,))
    assert primes is MT.zeros((), device).primes and approx.dtype == torch.float32
    for make in (lambda: Sub.from_int(2, (), device), lambda: Sub.zeros((1,), device), lambda: Sub.ones((), device),
                 lambda: Sub.from_tensor(torch.ones(2), device), lambda: x.from_int(5, (), device)):
        assert type(make()) is Sub
    assert type(MT.from_int(1, (), device)) is MT


def test_subclass_overrides_are_used_by_the_shorthands():
    seen = []

    class Sub(MT):
        @classmethod
        def from_fraction(cls, *args):
            seen.append(("from_fraction", args))
            return "fraction"

    assert Sub.from_int(7, (2,), "cpu") == "fraction"
    assert seen == [("from_fraction", (7, 1, (2,), "cpu"))]

    class Sub2(MT):
        @classmethod
        def from_int(cls, *args):
            seen.append(("from_int", args))
            return "int"

    assert Sub2.zeros((3,), "cpu") == "int" and Sub2.ones((), "cpu") == "int"
    assert seen[1:] == [("from_int", (0, (3,), "cpu")), ("from_int", (1, (), "cpu"))]


# --- from_tensor -----------------------------------------------------------------------------------------------

def captured(value):
    """trunc(v * 2^52), exactly, for a float v."""
    return int(Fraction(value) * SCALE)  # int() truncates toward zero


def check_capture(x, values, shape):
    assert type(x) is MT and x.shape == torch.Size(shape)
    flat = [captured(v) for v in values]
    expected = torch.tensor([residues(v) for v in flat], dtype=torch.int64).t().reshape(20, *shape) if flat else \
        torch.empty(20, *shape, dtype=torch.int64)
    assert torch.equal(x.num.cpu(), expected)
    assert_filled(x.denom, SCALE, shape)
    assert x.primes.device == x.device and torch.equal(x.primes.cpu(), kx.PRIMES)


def test_from_tensor_float64_values(device):
    values = [0.0, -0.0, 0.5, -0.75, 1.0, -1.0, 1 / 3, -1 / 3, 2.0**-52, -(2.0**-52), 2.0**-53, -(2.0**-53), 1e-300,
              2047.9999999999998, -2047.9999999999998, 1023.5, -1.5, 0.1, -0.1, 3.141592653589793]
    t = torch.tensor(values, dtype=torch.float64, device=device)
    x = MT.from_tensor(t, device)
    check_capture(x, values, (len(values),))
    assert x.device == t.device and x._approx.dtype == torch.float32
    assert_same_float(x._approx.cpu(), t.cpu().float())


def test_from_tensor_example_values(device):
    x = MT.from_tensor(torch.tensor([0.5], dtype=torch.float64), device)
    assert x.num[:, 0].tolist() == [2**51 % p for p in BASIS]
    assert x.denom[:, 0].tolist() == [2**52 % p for p in BASIS]
    assert x._approx.tolist() == [0.5] and x._approx.dtype == torch.float32
    y = MT.from_tensor(torch.tensor(-0.75, dtype=torch.float64), device)
    assert y.num.tolist() == [p - (3 * 2**50 % p) for p in BASIS] and y.shape == torch.Size([])


def test_from_tensor_random_values_and_shapes(device):
    gen = torch.Generator().manual_seed(7)
    mantissa = torch.rand(2, 3, 5, generator=gen, dtype=torch.float64) * 2 - 1
    exponent = torch.randint(-60, 11, (2, 3, 5), generator=gen).to(torch.float64)
    t = mantissa * torch.pow(2.0, exponent)  # spans |v| from 2^-61 to 1024
    x = MT.from_tensor(t.to(device), device)
    check_capture(x, t.flatten().tolist(), (2, 3, 5))
    # Non-contiguous input: same values, same result.
    y = MT.from_tensor(t.transpose(0, 2).to(device), device)
    check_capture(y, t.transpose(0, 2).flatten().tolist(), (5, 3, 2))


def test_from_tensor_large_input_uses_every_prime_and_sign(device):
    # Enough elements to be split into blocks and across threads.
    gen = torch.Generator().manual_seed(3)
    t = (torch.rand(10_000, generator=gen, dtype=torch.float64) - 0.5) * 4000
    x = MT.from_tensor(t, device)
    scaled = [captured(v) for v in t.tolist()]
    picks = list(range(0, 10_000, 97)) + [9_999]
    for i, p in enumerate(BASIS):
        assert x.num[i, picks].tolist() == [scaled[j] % p for j in picks]
    assert x.denom.cpu().eq(torch.tensor([SCALE % p for p in BASIS]).view(20, 1)).all()


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16, torch.bfloat16])
def test_from_tensor_narrow_floats_are_exact(dtype, device):
    values = torch.tensor([0.5, -0.75, 1.0 / 3, -1.0 / 3, 1000.0, -2.0**-14, 0.0, 3.0], dtype=torch.float64).to(dtype)
    x = MT.from_tensor(values.to(device), device)
    check_capture(x, values.double().tolist(), (8,))
    assert_same_float(x._approx.cpu(), values.float())


def test_from_tensor_float32_approx_is_the_input(device):
    t = torch.tensor([0.25, -3.5], device=device)
    assert MT.from_tensor(t, device)._approx is t  # t.float() is t itself


@pytest.mark.parametrize("dtype", [torch.int64, torch.int32, torch.int16, torch.int8, torch.uint8, torch.bool])
def test_from_tensor_integer_tensors_capture_their_value(dtype, device):
    raw = [0, 1, 5, 100] + ([-1, -7, 2047, -2047] if dtype not in (torch.uint8, torch.bool, torch.int8) else [])
    t = torch.tensor(raw).to(dtype)
    x = MT.from_tensor(t.to(device), device)
    check_capture(x, [float(v) for v in t.tolist()], (len(raw),))
    assert x._approx.dtype == torch.float32


def test_from_tensor_moves_input_to_device():
    t = torch.tensor([1.5, -2.5], dtype=torch.float64)
    x = MT.from_tensor(t, "meta")
    assert x.device.type == "meta" and x.num.device.type == "meta" and x.primes.device.type == "meta"
    assert x.num.shape == (20, 2) and x._approx.dtype == torch.float32


def test_from_tensor_non_tensor_input(device):
    with pytest.raises(AttributeError):
        MT.from_tensor([0.5, 1.0], device)
    with pytest.raises(AttributeError):
        MT.from_tensor(None, device)


def test_from_tensor_out_of_range_does_not_fail(device):
    t = torch.tensor([float("nan"), float("inf"), -float("inf"), 1e300, -4096.0, 2048.0], dtype=torch.float64)
    x = MT.from_tensor(t, device)  # what is stored is unspecified; it must be valid residues
    primes = kx.PRIMES.view(20, 1)
    assert x.num.ge(0).all() and x.num.cpu().lt(primes).all()
    assert_same_float(x._approx, t.float())
