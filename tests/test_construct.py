"""Construction from numbers and from tensors: residues for every prime, the
float32 approximation, dtypes, devices, errors, and subclasses."""
import itertools
import random
from fractions import Fraction

import pytest
import torch

import varnix.orvo.kalvex as kx
from support import BASIS, SCALE, assert_filled, assert_same_float, residues

MT = kx.ModularTensor


def short(value):
    """A readable test id for an integer of any size."""
    return str(value) if value is None or abs(value) < 10**12 else f"{'-' * (value < 0)}{abs(value).bit_length()}bits"


# Integers around every size boundary the host code may switch on (machine
# words, exact doubles, GMP limbs), both signs, and far beyond.
INTS = [0, 1, -1, 2, 3, -3, 6, 2**31 - 1, BASIS[0], BASIS[0] - 1, -BASIS[0], BASIS[0] * BASIS[1] * 7,
        2**53 - 1, 2**53, 2**53 + 1, -(2**53 + 1), 2**62, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 + 5,
        -(2**64), 3**200, -(3**200), 2**1000 + 1, -(7**300)]
FRACTIONS = [(3, 4), (6, 4), (1, -3), (-1, -3), (0, 5), (5, 2**53 + 1), (2**53 + 1, 2**53), (-(10**400), 10**399 + 1),
             (1, 10**400), (10**400, -(10**300)), (2**64 + 1, 2**64 - 1), (-7, 2**63), (BASIS[3], BASIS[3])]


def check_fraction(x, num, denom, shape, device):
    """x holds num/denom unreduced in every element; its approximation is Python's num / denom."""
    assert type(x) is MT and x.shape == torch.Size(shape)
    assert x.device.type == torch.device(device).type and x.num.device == x.device == x.denom.device
    assert_filled(x.num, num, shape)
    assert_filled(x.denom, denom, shape)
    assert x._approx.device == x.device
    assert_same_float(x._approx.cpu(), torch.tensor(num / denom, dtype=torch.float32).expand(shape))
    assert torch.equal(x.primes.cpu(), kx.PRIMES) and x.primes.device == x.device


@pytest.mark.parametrize("num, denom", [(n, None) for n in INTS] + FRACTIONS, ids=short)
def test_from_int_and_from_fraction_store_unreduced_residues(num, denom, device):
    x = MT.from_int(num, (2,), device) if denom is None else MT.from_fraction(num, denom, (2,), device)
    check_fraction(x, num, denom or 1, (2,), device)


@pytest.mark.parametrize("shape", [(), (0,), (1,), (2, 3), (3, 1, 2), (2, 0, 4)])
def test_shapes_and_constants(shape, device):
    check_fraction(MT.from_fraction(-5, 7, shape, device), -5, 7, shape, device)
    check_fraction(MT.zeros(shape, device), 0, 1, shape, device)
    check_fraction(MT.ones(shape, device), 1, 1, shape, device)


def like_python(num, denom, device):
    """The approximation is Python's num / denom rounded to float32; Python's error where it raises.
    A denominator None stands for from_int."""
    def make():
        return MT.from_int(num, (2,), device) if denom is None else MT.from_fraction(num, denom, (2,), device)
    try:
        expected = torch.tensor(num / (1 if denom is None else denom), dtype=torch.float32)
    except (OverflowError, ZeroDivisionError) as python:
        assert str(python) in ("integer division result too large for a float", "division by zero")
        with pytest.raises(type(python), match=f"^{python}$"):
            make()
        return
    assert_same_float(make()._approx.cpu(), expected.expand(2))


@pytest.mark.parametrize("num, denom", [
    (2**1024 - 2**970, 1),               # the largest double: fine, float32 inf
    (2**1024 - 2**970 + 2**969 - 1, 1),  # rounds down to it
    (2**1024 - 2**970 + 2**969, 1),      # halfway: rounds to even, 2^1024, too large
    (2**1024, 1), (10**400, None), (-(2**1024), None), (-(2**1100), 3), (3 * (2**1024 - 2**970) + 1, 3),
    (10**400, 10**100), (10**400, 10**92),
    (-(10**39), 1), (1, 2**1074), (1, 2**1075), (3, 2**1076), (-1, 2**1076), (1, 10**400), (-(10**300), 10**700),
    # zeros keep the sign of the quotient
    (0, -1), (0, -(2**100)), (0, 1), (0, 2**100), (-1, 10**400), (1, -(2**2000)),
    # a zero denominator is Python's ZeroDivisionError
    (1, 0), (0, 0), (-5, 0), (10**400, 0),
], ids=short)
def test_overflow_underflow_and_zero_like_python(num, denom, device):
    like_python(num, denom, device)


def double_rounding_cases():
    """Quotients at and around 1 + 2^-24, a float32 halfway point, scaled by 2^e.
    The float32 result depends on first rounding the exact quotient to the
    nearest double (ties to even): t is the offset in units of 2^-200, and
    2^147 is half a double ulp."""
    half_ulp = 2**147
    for e, t, sign in itertools.product((0, 60, -60, 500, -500), (0, 1, -1, half_ulp - 1, half_ulp, half_ulp + 1,
                                        -half_ulp + 1, -half_ulp, -half_ulp - 1), (1, -1)):
        middle = 2**200 + 2**176 + t
        for num, denom in ((middle, 2**200), (3 * middle + 1, 3 * 2**200)):  # the latter leaves a remainder
            yield num * sign * 2**max(e, 0), denom * 2**max(-e, 0)


def test_approximation_is_correctly_rounded(device):
    rng = random.Random(1234)
    for _ in range(300):
        num = rng.getrandbits(rng.choice([5, 40, 53, 54, 64, 65, 200, 1100])) * rng.choice([1, -1])
        denom = (rng.getrandbits(rng.choice([3, 53, 60, 128, 1000])) | 1) * rng.choice([1, -1])
        like_python(num, denom, device)
    for num, denom in double_rounding_cases():
        like_python(num, denom, device)


@pytest.mark.parametrize("denom", [0, 1])
def test_shape_errors_come_from_torch_before_division(denom, device):
    with pytest.raises(Exception) as torch_error:
        torch.full((-1,), 1, dtype=torch.int64)
    with pytest.raises(type(torch_error.value)) as info:
        MT.from_fraction(10**30, denom, (-1,), device)
    assert str(info.value).split("\n")[0] == str(torch_error.value).split("\n")[0]
    with pytest.raises(type(torch_error.value)):
        MT.from_fraction(1, denom, (-1,), device)


def test_residue_tensors_are_fresh_and_primes_shared(device):
    a, b = MT.from_int(3, (2,), device), MT.from_int(3, (2,), device)
    assert a.primes is b.primes and (a.primes is kx.PRIMES) == (device == "cpu")
    assert a.num.data_ptr() != b.num.data_ptr() and a.num.data_ptr() != a.denom.data_ptr()


def test_device_errors_are_torchs():
    """The default device is "cuda"; without one, and for a bad device string, torch's error comes through."""
    defaults = [lambda: MT.from_int(1), lambda: MT.zeros(()), lambda: MT.from_tensor(torch.ones(2))]
    if torch.cuda.is_available():
        assert all(make().device.type == "cuda" for make in defaults)
        defaults = []
    for torch_call, makers in [(lambda: kx.PRIMES.to("cuda"), defaults),
                               (lambda: torch.device("nonsense"), [lambda: MT.from_int(1, (), "nonsense")])]:
        with pytest.raises(BaseException) as torch_error:
            torch_call()
        for make in makers:
            with pytest.raises(type(torch_error.value)) as info:
                make()
            assert str(info.value).split("\n")[0] == str(torch_error.value).split("\n")[0]


def test_subclasses_are_built_and_their_overrides_used(device):
    calls = []

    class Sub(MT):
        def __init__(self, *args):
            calls.append(args)
            super().__init__(*args)

    x = Sub.from_fraction(3, 4, (2,), device)
    (num, denom, primes, approx), = calls
    assert type(x) is Sub and primes is MT.zeros((), device).primes and approx.dtype == torch.float32
    assert_filled(num, 3, (2,)) and assert_filled(denom, 4, (2,))
    for make in (lambda: Sub.from_int(2, (), device), lambda: Sub.zeros((1,), device), lambda: Sub.ones((), device),
                 lambda: Sub.from_tensor(torch.ones(2), device), lambda: x.from_int(5, (), device)):
        assert type(make()) is Sub
    assert type(MT.from_int(1, (), device)) is MT

    # The shorthands go through the class's own from_fraction and from_int.
    ByFraction = type("ByFraction", (MT,), {"from_fraction": classmethod(lambda cls, *args: ("fraction", args))})
    ByInt = type("ByInt", (MT,), {"from_int": classmethod(lambda cls, *args: ("int", args))})
    assert ByFraction.from_int(7, (2,), device) == ("fraction", (7, 1, (2,), device))
    assert ByInt.zeros((3,), device) == ("int", (0, (3,), device))
    assert ByInt.ones((), device) == ("int", (1, (), device))


# --- from_tensor -----------------------------------------------------------------------------------------------

def check_capture(x, values, shape):
    """x holds trunc(v * 2^52) / 2^52 for each float v of `values`, in `shape`."""
    assert type(x) is MT and x.shape == torch.Size(shape)
    flat = [int(Fraction(v) * SCALE) for v in values]  # int() truncates toward zero
    assert torch.equal(x.num.cpu(), torch.tensor([residues(v) for v in flat]).reshape(*shape, 20).movedim(-1, 0))
    assert_filled(x.denom, SCALE, shape)
    assert x.primes.device == x.device and torch.equal(x.primes.cpu(), kx.PRIMES)


FLOAT64 = [0.0, -0.0, 0.5, -0.75, 1.0, -1.0, 1 / 3, -1 / 3, 2.0**-52, -(2.0**-52), 2.0**-53, -(2.0**-53), 1e-300,
           2047.9999999999998, -2047.9999999999998, 1023.5, -1.5, 0.1, -0.1, 3.141592653589793]
NARROW = [0.5, -0.75, 1.0 / 3, -1.0 / 3, 1000.0, -2.0**-14, 0.0, 3.0]
INTEGERS = [0, 1, 5, 100, -1, -7, 2047, -2047]


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32, torch.float16, torch.bfloat16, torch.int64,
                                   torch.int32, torch.int16, torch.int8, torch.uint8, torch.bool], ids=str)
def test_from_tensor_captures_every_dtype_exactly(dtype, device):
    if dtype.is_floating_point:
        values = FLOAT64 if dtype == torch.float64 else NARROW
    else:
        values = INTEGERS if dtype in (torch.int64, torch.int32, torch.int16) else INTEGERS[:4]
    t = torch.tensor(values, dtype=torch.float64).to(dtype).to(device)
    x = MT.from_tensor(t, device)
    check_capture(x, t.double().tolist(), (len(values),))
    assert x.device == t.device
    if dtype == torch.float32:
        assert x._approx is t  # t.float() is t itself
    else:
        assert_same_float(x._approx.cpu(), t.cpu().float())


def test_from_tensor_random_values_views_and_sizes(device):
    gen = torch.Generator().manual_seed(7)
    mantissa = torch.rand(2, 3, 5, generator=gen, dtype=torch.float64) * 2 - 1
    exponent = torch.randint(-60, 11, (2, 3, 5), generator=gen).to(torch.float64)
    t = mantissa * torch.pow(2.0, exponent)  # spans |v| from 2^-61 to 1024
    large = (torch.rand(10_000, generator=gen, dtype=torch.float64) - 0.5) * 4000  # split in blocks and threads
    for view in (t, t.transpose(0, 2), t[1, 2, 3], large):  # contiguous, strided, 0-dim, large
        check_capture(MT.from_tensor(view.to(device), device), view.flatten().tolist(), view.shape)


def test_from_tensor_moves_input_and_needs_a_tensor():
    x = MT.from_tensor(torch.tensor([1.5, -2.5], dtype=torch.float64), "meta")
    assert x.device.type == "meta" and x.num.device.type == "meta" and x.primes.device.type == "meta"
    assert x.num.shape == (20, 2) and x._approx.dtype == torch.float32
    for value in ([0.5, 1.0], None):
        with pytest.raises(AttributeError):
            MT.from_tensor(value, "cpu")


def test_from_tensor_is_exact_at_any_size_and_refuses_what_is_not_finite(device):
    large = [-4096.0, 2048.0, 2047.75, 3.0 * 2**60, 1e6, -3.4e38]
    for dtype, values in [(torch.float64, large + [1e300, -2.0**1023 * 1.5]), (torch.float32, large)]:
        t = torch.tensor(values, dtype=dtype)
        check_capture(MT.from_tensor(t.to(device), device), t.tolist(), t.shape)
    ints = torch.tensor([10**6, 3, -(2**63), 2**63 - 1, 2**11, -(2**11) - 1])
    check_capture(MT.from_tensor(ints.to(device), device), ints.tolist(), ints.shape)
    assert MT.from_tensor(torch.tensor([10**6, 3]).to(device), device).sum().to_rational() == (10**6 + 3, 1)
    for bad, name in [(float("nan"), "nan"), (float("inf"), "inf"), (-float("inf"), "-inf")]:
        for dtype in (torch.float64, torch.float32, torch.float16):
            t = torch.tensor([1.0, bad, 2.0], dtype=dtype).to(device)
            with pytest.raises(ValueError, match=rf"^from_tensor\(\) captures finite values only, got {name}$"):
                MT.from_tensor(t, device)
