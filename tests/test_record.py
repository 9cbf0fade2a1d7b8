"""The record: __init__, shape, repr, and robustness against whatever a caller
stores in the slots or passes as an operand."""
import os
import subprocess
import sys
import textwrap

import pytest
import torch

import varnix.orvo.kalvex as kx

MT = kx.ModularTensor


def residue_pair(shape=(3,), device="cpu"):
    num = torch.arange(20 * max(1, torch.Size(shape).numel()), dtype=torch.int64, device=device).view(20, *shape)
    return num, num + 1


def test_init_stores_objects_as_given(device):
    num, denom = residue_pair((3,), device)
    approx = torch.zeros(3, dtype=torch.float64)  # neither converted nor moved
    x = MT(num, denom, None, approx)
    assert x.num is num and x.denom is denom and x._approx is approx
    assert x.device == num.device and isinstance(x.device, torch.device)
    assert x.shape == torch.Size([3]) and type(x.shape) is torch.Size
    assert torch.equal(x.primes.cpu(), kx.PRIMES) and x.primes.device == num.device
    if device == "cpu":
        assert x.primes is kx.PRIMES
    assert MT(num, denom)._approx is None
    assert MT(num, denom, approx="anything")._approx == "anything"


def test_init_moves_primes_but_not_denom():
    # The meta device stands in for a second device on machines without CUDA.
    num = torch.empty((20, 2, 3), dtype=torch.int64, device="meta")
    denom = torch.ones((20, 2, 3), dtype=torch.int64)
    x = MT(num, denom)
    assert x.primes.device.type == "meta" and x.denom is denom and x.device.type == "meta"
    primes = kx.PRIMES.clone()
    y = MT(denom, denom, primes)
    assert y.primes is primes  # already on num's device: the same object
    z = MT(num, denom, primes)
    assert z.primes.device.type == "meta"
    assert repr(z) == "ModularTensor(shape=torch.Size([2, 3]), device=meta)"


def test_init_primes_is_duck_typed():
    class Basis:
        def to(self, device):
            return ("moved to", device)

    num, denom = residue_pair()
    assert MT(num, denom, Basis()).primes == ("moved to", torch.device("cpu"))


def test_init_failures_propagate_and_leave_later_slots_unset():
    _, denom = residue_pair()
    x = MT.__new__(MT)
    with pytest.raises(AttributeError, match="'str' object has no attribute 'device'"):
        x.__init__("no device", denom)
    assert x.num == "no device" and x.denom is denom
    for slot in ("device", "primes", "_approx"):
        with pytest.raises(AttributeError):
            getattr(x, slot)
    y = MT.__new__(MT)
    with pytest.raises(AttributeError):
        y.__init__(denom, denom, object())  # primes without .to
    assert y.device == torch.device("cpu")
    with pytest.raises(AttributeError):
        y.primes
    with pytest.raises(AttributeError):
        repr(MT.__new__(MT))


def test_shape_is_computed_on_every_access():
    num, denom = residue_pair((4,))
    x = MT(num, denom)
    assert x.shape == torch.Size([4])
    x.num = torch.zeros(20, 2, 5, dtype=torch.int64)
    assert x.shape == torch.Size([2, 5])
    x.num = torch.tensor(7)  # a 0-dim tensor: no prime axis, empty user shape
    assert x.shape == torch.Size([])
    with pytest.raises(AttributeError):
        x.shape = torch.Size([1])


def test_repr():
    assert repr(MT.from_int(5, (), "cpu")) == "ModularTensor(shape=torch.Size([]), device=cpu)"
    x = MT.zeros((2, 3), "cpu")
    assert repr(x) == "ModularTensor(shape=torch.Size([2, 3]), device=cpu)" == str(x)
    assert "__str__" not in MT.__dict__
    x.device = "somewhere"
    assert repr(x) == "ModularTensor(shape=torch.Size([2, 3]), device=somewhere)"


def test_repr_cuda():
    if not torch.cuda.is_available():
        pytest.skip("no CUDA device")
    assert repr(MT.ones((2, 3), "cuda")) == "ModularTensor(shape=torch.Size([2, 3]), device=cuda:0)"


def test_subclass_instances_get_slots_and_dict():
    class Sub(MT):
        pass

    num, denom = residue_pair()
    s = Sub(num, denom)
    s.extra = 1  # a subclass without __slots__ has a dict
    assert s.num is num and s.shape == torch.Size([3]) and repr(s).startswith("ModularTensor(")


# Every member and function is called on instances whose slots hold the wrong
# things, with operands of the wrong kind.  Any Python exception is fine; the
# interpreter must survive.  Run in a child process so that a crash is a failure
# here and not the end of the test run.
ROBUSTNESS = textwrap.dedent(r"""
    import inspect, itertools, operator, sys
    import torch
    import varnix.orvo.kalvex as kx
    MT = kx.ModularTensor

    def good(shape=(3,)):
        return MT.from_int(2, shape, "cpu")

    slot_values = [
        "text", None, 5, 2.5, [1, 2], (), torch.tensor(3), torch.tensor(3.0),
        torch.zeros(20, 3), torch.zeros(20, 3, dtype=torch.int32), torch.zeros(7, 3, dtype=torch.int64),
        torch.zeros(20, dtype=torch.int64), torch.zeros(20, 0, dtype=torch.int64),
        torch.zeros(20, 3, dtype=torch.int64)[:, ::2], torch.zeros(3, 20, dtype=torch.int64).t(),
        torch.zeros(20, 3, dtype=torch.int64, device="meta"), torch.zeros(20, 3, dtype=torch.bool),
        torch.full((20, 3), -5, dtype=torch.int64), torch.full((20, 3), 2**62, dtype=torch.int64),
        torch.zeros(20, 1, 1, 1, dtype=torch.int64),
    ]
    primes_values = slot_values + [torch.zeros(20, dtype=torch.int64), torch.arange(3), torch.tensor(7)]

    def corrupted():
        for slot, values in (("num", slot_values), ("denom", slot_values), ("primes", primes_values),
                             ("device", ["cpu", "nonsense", None, 3, torch.device("meta")]),
                             ("_approx", slot_values)):
            for value in values:
                x = good()
                setattr(x, slot, value)
                yield x
        yield MT.__new__(MT)  # no slot set at all
        yield MT(torch.zeros(20, 3, dtype=torch.int64), torch.zeros(20, 4, dtype=torch.int64))
        # Whole records of another residue dtype, broadcasting against sound operands.
        for dtype in (torch.int16, torch.int32, torch.float16, torch.float64):
            for shape in ((1,), (2, 3)):
                ones = torch.ones(20, *shape).to(dtype)
                yield MT(ones, ones.clone(), kx.PRIMES.to(dtype))
                yield MT(ones, torch.ones(20, *shape, dtype=torch.int64), kx.PRIMES[:3].to(dtype))
        # Odd bases: other lengths, entries that are not primes below 2^31, other orders.
        for primes in (torch.tensor([3, 5, 7]), torch.tensor([7]), torch.zeros(20, dtype=torch.int64),
                       torch.full((20,), -7), torch.full((20,), 2**40), torch.arange(20),
                       torch.ones(20, dtype=torch.int64),
                       kx.PRIMES.flip(0), kx.PRIMES.view(20, 1), kx.PRIMES.view(4, 5), kx.PRIMES[::2],
                       torch.full((20,), 2**31 - 1), torch.tensor([2**31 - 1, 2**31 - 1] + [5] * 18)):
            rows = primes.shape[0]
            residues = torch.randint(0, 2**31, (rows, 3), generator=torch.Generator().manual_seed(rows))
            yield MT(residues, residues.flip(1), primes)
            yield MT(residues[:, :1], residues, primes)
        # Shapes of num and denom that only broadcast, or do not.
        for num_shape, den_shape in (((20, 3), (20, 1)), ((20, 1), (20, 3)), ((20, 3), (20, 3, 1)), ((20, 3), (3,)),
                                     ((20,), (20, 3)), ((20, 2, 3), (20, 3)), ((20, 3), (1, 3))):
            yield MT(torch.ones(num_shape, dtype=torch.int64), torch.ones(den_shape, dtype=torch.int64))

    operands = [None, 1, 0, -1, 2.5, "s", torch.ones(3), torch.tensor([True, False, True]), good(), good(()),
                good((2, 3)), good((1,)), good((1, 3)), MT.__new__(MT), object(),
                MT(torch.ones(20, 1, dtype=torch.int16), torch.ones(20, 1, dtype=torch.int16),
                   kx.PRIMES.to(torch.int16)),
                MT(torch.ones(20, 3, dtype=torch.int64), torch.ones(20, 3, dtype=torch.int64), kx.PRIMES.flip(0))]

    def arguments(fn, skip):
        params = list(inspect.signature(fn).parameters.values())[skip:]
        fixed = [p for p in params if p.kind is not p.VAR_POSITIONAL]
        choices = []
        for p in fixed:
            a = p.annotation
            if a == "int":
                choices.append([0, -1, 1] + ([None] if p.default is None else []))
            elif a == "float":
                choices.append([None, 0.5])
            elif a == "bool":
                choices.append([True, "x"])
            else:
                choices.append(operands)
        if len(fixed) < len(params):
            choices.append([(), (3,), (-1, 3), (1, "x")])
        for combo in itertools.islice(itertools.product(*choices), 60):
            if len(fixed) < len(params):
                yield list(combo[:-1]) + list(combo[-1])
            else:
                yield list(combo)

    def attempt(fn, *args):
        try:
            fn(*args)
        except Exception:
            pass

    members = [n for n in MT.__dict__ if n not in ("__module__", "__doc__", "__slots__", "__hash__", "__init__")
               and n not in MT.__slots__]
    count = 0
    for x in itertools.chain(corrupted(), [good(), good(()), good((2, 2))]):
        for name in members:
            if name in ("shape", "T"):
                attempt(getattr, x, name)
                continue
            raw = MT.__dict__[name]
            fn = getattr(x, name)
            skip = 1
            for args in arguments(raw.__func__ if isinstance(raw, classmethod) else raw, skip):
                attempt(fn, *args)
                count += 1
        for op in (operator.add, operator.sub, operator.mul, operator.truediv, operator.eq, operator.ne,
                   operator.pow, operator.matmul):
            for other in operands:
                attempt(op, x, other)
                attempt(op, other, x)
        attempt(operator.neg, x)
        attempt(repr, x)
        for name in kx.__all__[3:]:
            fn = getattr(kx, name)
            for args in itertools.islice(arguments(fn, 0), 20):
                attempt(fn, *([x] + args[1:]) if args else [x])
                count += 1
    # Constructors with odd inputs.
    odd_tensors = [torch.zeros(2, 3, dtype=torch.complex64), torch.zeros(2, 3).to_sparse(),
                   torch.zeros(2, 3, device="meta"), torch.zeros(2, 3).t(), torch.zeros(0, 5),
                   torch.tensor([float("nan"), float("inf"), -float("inf"), 1e300]), torch.zeros(3, requires_grad=True),
                   torch.zeros(2, 3, dtype=torch.bool), torch.zeros(3, dtype=torch.uint8), "text", None, [1.0, 2.0]]
    for t in odd_tensors:
        for dev in ("cpu", "meta", "nonsense", ""):
            attempt(MT.from_tensor, t, dev)
    for shape in [(-1,), (2**62, 2**62), (2**70,), (1.5,), ("a",), (None,), ((2,),), (torch.tensor(2),)]:
        for dev in ("cpu", "meta", "nonsense"):
            attempt(MT.from_fraction, 1, 3, shape, dev)
            attempt(MT.from_fraction, 10**400, -(10**401), shape, dev)
            attempt(MT.zeros, shape, dev)
    for num, denom in [(1, 0), (10**400, 0), (10**400, 1), (-(10**400), 3), (0, -(10**400))]:
        attempt(MT.from_fraction, num, denom, (2,), "cpu")
    print("survived", count)
""")


def test_bad_slots_and_operands_never_crash():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, "-c", ROBUSTNESS], capture_output=True, text=True, timeout=600,
                            cwd=root, env=env)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    assert result.stdout.startswith("survived")
