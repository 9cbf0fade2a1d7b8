"""The record: __init__, shape, repr, and robustness against whatever a caller
stores in the slots or passes as an operand."""
import math
import os
import subprocess
import sys
import textwrap

import pytest
import torch

import varnix.orvo.kalvex as kx

MT = kx.ModularTensor


def residue_pair(shape=(3,), device="cpu"):
    num = torch.arange(20 * math.prod(shape), device=device).view(20, *shape)
    return num, num + 1


def test_init_stores_objects_as_given_and_moves_only_the_primes(device):
    num, denom = residue_pair((3,), device)
    approx = torch.zeros(3, dtype=torch.float64)  # neither converted nor moved
    x = MT(num, denom, None, approx)
    assert x.num is num and x.denom is denom and x._approx is approx and x.device == num.device
    assert isinstance(x.device, torch.device) and type(x.shape) is torch.Size and x.shape == (3,)
    assert torch.equal(x.primes.cpu(), kx.PRIMES) and x.primes.device == num.device
    assert (x.primes is kx.PRIMES) == (device == "cpu")
    assert MT(num, denom)._approx is None and MT(num, denom, approx="anything")._approx == "anything"
    # The primes follow num's device (meta stands in for a second one), denom stays; the basis is duck-typed.
    meta, primes = torch.empty((20, 2, 3), dtype=torch.int64, device="meta"), kx.PRIMES.clone()
    host = torch.ones(20, 2, 3, dtype=torch.int64)
    y = MT(meta, host, primes)
    assert y.device.type == y.primes.device.type == "meta" and y.denom is host
    assert MT(host, host, primes).primes is primes  # already on num's device: the same object
    basis = type("Basis", (), {"to": lambda self, device: ("moved to", device)})()
    assert MT(host, host, basis).primes == ("moved to", torch.device("cpu"))
    s = type("Sub", (MT,), {})(num, denom)
    s.extra = 1  # a subclass without __slots__ has a dict
    assert s.num is num and s.shape == torch.Size([3]) and repr(s).startswith("ModularTensor(")


def test_init_failures_propagate_and_leave_later_slots_unset():
    _, denom = residue_pair()
    x, y = MT.__new__(MT), MT.__new__(MT)
    with pytest.raises(AttributeError, match="'str' object has no attribute 'device'"):
        x.__init__("no device", denom)
    assert x.num == "no device" and x.denom is denom
    with pytest.raises(AttributeError):
        y.__init__(denom, denom, object())  # primes without .to
    assert y.device == torch.device("cpu")
    for record, slot in [(x, "device"), (x, "primes"), (x, "_approx"), (y, "primes")]:
        with pytest.raises(AttributeError):
            getattr(record, slot)
    with pytest.raises(AttributeError):
        repr(MT.__new__(MT))


def test_shape_is_computed_on_every_access():
    x = MT(*residue_pair((4,)))
    assert x.shape == torch.Size([4])
    x.num = torch.zeros(20, 2, 5, dtype=torch.int64)
    assert x.shape == torch.Size([2, 5])
    x.num = torch.tensor(7)  # a 0-dim tensor: no prime axis, empty user shape
    assert x.shape == torch.Size([])
    with pytest.raises(AttributeError):
        x.shape = torch.Size([1])


def test_repr(device):
    shown = {"cpu": "cpu", "cuda": "cuda:0"}[device]
    assert repr(MT.from_int(5, (), device)) == f"ModularTensor(shape=torch.Size([]), device={shown})"
    x = MT.zeros((2, 3), device)
    assert repr(x) == f"ModularTensor(shape=torch.Size([2, 3]), device={shown})"
    x.device = "somewhere"
    assert repr(x) == "ModularTensor(shape=torch.Size([2, 3]), device=somewhere)"
    meta = torch.empty((20, 2), dtype=torch.int64, device="meta")
    assert repr(MT(meta, meta)) == "ModularTensor(shape=torch.Size([2]), device=meta)"


# Every member and function is called on instances whose slots hold the wrong
# things, with operands of the wrong kind.  Any Python exception is fine; the
# interpreter must survive.  Run in a child process so that a crash is a failure
# here and not the end of the test run.
ROBUSTNESS = textwrap.dedent(r"""
    import inspect, itertools, operator
    import torch
    import varnix.orvo.kalvex as kx
    MT, i64 = kx.ModularTensor, torch.int64

    def good(shape=(3,)):
        return MT.from_int(2, shape, "cpu")

    def attempt(fn, *args):
        try:
            fn(*args)
        except Exception:
            pass

    slot_values = ["text", None, 5, 2.5, [1, 2], (), torch.tensor(3), torch.tensor(3.0), torch.zeros(20, 3),
                   torch.zeros(20, 3, dtype=torch.int32), torch.zeros(7, 3, dtype=i64), torch.zeros(20, dtype=i64),
                   torch.zeros(20, 0, dtype=i64), torch.zeros(20, 3, dtype=i64)[:, ::2],
                   torch.zeros(3, 20, dtype=i64).t(), torch.zeros(20, 3, dtype=i64, device="meta"),
                   torch.zeros(20, 3, dtype=torch.bool),
                   torch.full((20, 3), -5), torch.full((20, 3), 2**62), torch.zeros(20, 1, 1, 1, dtype=i64)]

    def corrupted():
        for slot, values in (("num", slot_values), ("denom", slot_values), ("_approx", slot_values),
                             ("primes", slot_values + [torch.zeros(20, dtype=i64), torch.arange(3), torch.tensor(7)]),
                             ("device", ["cpu", "nonsense", None, 3, torch.device("meta")])):
            for value in values:
                x = good()
                setattr(x, slot, value)
                yield x
        yield MT.__new__(MT)  # no slot set at all
        yield MT(torch.zeros(20, 3, dtype=i64), torch.zeros(20, 4, dtype=i64))
        # Whole records of another residue dtype, broadcasting against sound operands.
        for dtype, shape in itertools.product((torch.int16, torch.int32, torch.float16, torch.float64), ((1,), (2, 3))):
            ones = torch.ones(20, *shape).to(dtype)
            yield MT(ones, ones.clone(), kx.PRIMES.to(dtype))
            yield MT(ones, torch.ones(20, *shape, dtype=i64), kx.PRIMES[:3].to(dtype))
        # Odd bases: other lengths, entries that are not primes below 2^31, other orders.
        for primes in (torch.tensor([3, 5, 7]), torch.tensor([7]), torch.zeros(20, dtype=i64), torch.full((20,), -7),
                       torch.full((20,), 2**40), torch.arange(20), torch.ones(20, dtype=i64), kx.PRIMES.flip(0),
                       kx.PRIMES.view(20, 1), kx.PRIMES.view(4, 5), kx.PRIMES[::2], torch.full((20,), 2**31 - 1),
                       torch.tensor([2**31 - 1, 2**31 - 1] + [5] * 18)):
            gen = torch.Generator().manual_seed(primes.shape[0])
            residues = torch.randint(0, 2**31, (primes.shape[0], 3), generator=gen)
            yield MT(residues, residues.flip(1), primes)
            yield MT(residues[:, :1], residues, primes)
        # Shapes of num and denom that only broadcast, or do not.
        for num_shape, den_shape in (((20, 3), (20, 1)), ((20, 1), (20, 3)), ((20, 3), (20, 3, 1)), ((20, 3), (3,)),
                                     ((20,), (20, 3)), ((20, 2, 3), (20, 3)), ((20, 3), (1, 3))):
            yield MT(torch.ones(num_shape, dtype=i64), torch.ones(den_shape, dtype=i64))

    operands = [None, 1, 0, -1, 2.5, "s", torch.ones(3), torch.tensor([True, False, True]), good(), good(()),
                good((2, 3)), good((1,)), good((1, 3)), MT.__new__(MT), object(),
                MT(*[torch.ones(20, 1, dtype=torch.int16)] * 2, kx.PRIMES.to(torch.int16)),
                MT(torch.ones(20, 3, dtype=i64), torch.ones(20, 3, dtype=i64), kx.PRIMES.flip(0))]

    def arguments(fn, skip):
        # up to 60 argument lists, drawn by each parameter's annotation; *args from whole tuples
        params = list(inspect.signature(fn).parameters.values())[skip:]
        fixed = [p for p in params if p.kind is not p.VAR_POSITIONAL]
        by_annotation = {"float": [None, 0.5], "bool": [True, "x"]}
        choices = [[0, -1, 1] + [None] * (p.default is None) if p.annotation == "int"
                   else by_annotation.get(p.annotation, operands) for p in fixed]
        varargs = len(fixed) < len(params)
        for combo in itertools.islice(itertools.product(*choices, *[[(), (3,), (-1, 3), (1, "x")]] * varargs), 60):
            yield list(combo[:-1]) + list(combo[-1]) if varargs else list(combo)

    members = [n for n in MT.__dict__
               if n not in ("__module__", "__doc__", "__slots__", "__hash__", "__init__") + MT.__slots__]
    count = 0
    for x in itertools.chain(corrupted(), [good(), good(()), good((2, 2))]):
        for name in members:
            raw = MT.__dict__[name]
            if isinstance(raw, property):
                attempt(getattr, x, name)
                continue
            for args in arguments(raw.__func__ if isinstance(raw, classmethod) else raw, 1):
                attempt(getattr(x, name), *args)
                count += 1
        for op, other in itertools.product((operator.add, operator.sub, operator.mul, operator.truediv, operator.eq,
                                            operator.ne, operator.pow, operator.matmul), operands):
            attempt(op, x, other)
            attempt(op, other, x)
        attempt(operator.neg, x)
        attempt(repr, x)
        for name in kx.__all__[3:]:
            for args in itertools.islice(arguments(getattr(kx, name), 0), 20):
                attempt(getattr(kx, name), *([x] + args[1:]) if args else [x])
                count += 1
    # Constructors with odd inputs.
    for t, dev in itertools.product([torch.zeros(2, 3, dtype=torch.complex64), torch.zeros(2, 3).to_sparse(),
                                     torch.zeros(2, 3, device="meta"), torch.zeros(2, 3).t(), torch.zeros(0, 5),
                                     torch.tensor([float("nan"), float("inf"), -float("inf"), 1e300]),
                                     torch.zeros(3, requires_grad=True), torch.zeros(2, 3, dtype=torch.bool),
                                     torch.zeros(3, dtype=torch.uint8), "text", None, [1.0, 2.0]],
                                    ("cpu", "meta", "nonsense", "")):
        attempt(MT.from_tensor, t, dev)
    for shape, dev in itertools.product([(-1,), (2**62, 2**62), (2**70,), (1.5,), ("a",), (None,), ((2,),),
                                         (torch.tensor(2),)], ("cpu", "meta", "nonsense")):
        attempt(MT.from_fraction, 1, 3, shape, dev)
        attempt(MT.from_fraction, 10**400, -(10**401), shape, dev)
        attempt(MT.zeros, shape, dev)
    for num, denom in [(1, 0), (10**400, 0), (10**400, 1), (-(10**400), 3), (0, -(10**400))]:
        attempt(MT.from_fraction, num, denom, (2,), "cpu")
    print("survived", count)
""")


def test_bad_slots_and_operands_never_crash():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    result = subprocess.run([sys.executable, "-c", ROBUSTNESS], capture_output=True, text=True, timeout=600, cwd=root)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    assert result.stdout.startswith("survived")
