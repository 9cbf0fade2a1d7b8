"""Records and operands the operations must refuse: residues of another dtype
or layout, operands in different prime bases, and calls that loop back into
the binding.  Cases that used to crash the interpreter run in a child process,
so that a crash fails one test instead of ending the run."""
import json
import math
import os
import subprocess
import sys
import textwrap
import types

import pytest
import torch

import varnix.orvo.kalvex as kx

MT = kx.ModularTensor
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DTYPES = ["int16", "int32", "float16", "float64", "uint8", "bool"]
BASES_MESSAGE = "^ModularTensor operands use different prime bases$"


def run_child(body):
    """Runs `body` in a fresh interpreter; it fills the dict `out` with the
    outcome of each case: "ok" or [exception type name, message]."""
    code = textwrap.dedent("""
        import json, sys, torch
        import varnix.orvo.kalvex as kx
        MT = kx.ModularTensor
        out = {}
        def attempt(name, fn):
            try:
                fn()
                out[name] = "ok"
            except Exception as e:
                out[name] = [type(e).__name__, str(e)]
    """) + textwrap.dedent(body) + "\nprint(json.dumps(out))\n"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def outcomes():
    """18 operations on records of each residue dtype and of each broken layout."""
    return run_child(f"DTYPES = {DTYPES!r}" + textwrap.dedent("""
    def operations(a, b, m):
        # a: the record under test, b: a sound operand it broadcasts against, m: the record as a matrix
        return {
            "a + b": lambda: a + b, "b + a": lambda: b + a, "a - b": lambda: a - b, "b * a": lambda: b * a,
            "a / b": lambda: a / b, "b / a": lambda: b / a, "-a": lambda: -a, "a == b": lambda: a == b,
            "b == a": lambda: b == a, "a + 1": lambda: a + 1, "1 - a": lambda: 1 - a, "a.sum()": lambda: a.sum(),
            "a.sum(0)": lambda: a.sum(0), "a._sum_dim(-1)": lambda: a._sum_dim(-1), "a.dot(b)": lambda: a.dot(b),
            "b.dot(a)": lambda: b.dot(a), "m.matmul(n)": lambda: m.matmul(MT.ones((2, 3), "cpu")),
            "n.matmul(m)": lambda: MT.ones((3, 2), "cpu").matmul(m),
        }

    ones = lambda *shape: torch.ones(*shape, dtype=torch.int64)
    records = {}
    for name in DTYPES:
        # residues of 1 in the slots named, of dtype `dtype`; int64 elsewhere
        dtype = getattr(torch, name)
        for slots in (("num", "denom", "primes"), ("num",), ("denom",), ("primes",)):
            records[f"{name} {'+'.join(slots)}"] = [
                MT(*(ones(20, *shape).to(dtype) if s in slots else ones(20, *shape) for s in ("num", "denom")),
                   kx.PRIMES.to(dtype) if "primes" in slots else None) for shape in ((1, 4), (2, 2))]
    layouts = lambda *shape: {
        "short basis": (ones(20, *shape), ones(20, *shape), torch.tensor([3, 5, 7])),
        "long basis": (ones(3, *shape), ones(3, *shape), kx.PRIMES),
        "denominator rows": (ones(20, *shape), ones(7, *shape), None),
        "denominator rank": (ones(20, *shape), ones(20, *shape, 1), None),  # would align primes with a user axis
        "matrix basis": (ones(20, *shape), ones(20, *shape), kx.PRIMES.view(20, 1)),
        "scalar residues": (torch.tensor(1), torch.tensor(1), None),
        "empty basis": (ones(0, *shape), ones(0, *shape), torch.zeros(0, dtype=torch.int64)),
    }
    for name in layouts(1, 4):
        records["layout " + name] = [MT(*layouts(1, 4)[name]), MT(*layouts(2, 2)[name])]
    b = MT.from_int(3, (5, 4), "cpu")
    for name, (a, m) in records.items():
        for op, fn in operations(a, b, m).items():
            attempt(f"{name}: {op}", fn)
    """))


@pytest.mark.parametrize("record", DTYPES + ["layout"])
def test_every_operation_refuses_residues_of_another_dtype_or_layout(outcomes, record):
    cases = {k: v for k, v in outcomes.items() if k.startswith(record + " ")}
    assert len(cases) == (7 if record == "layout" else 4) * 18
    for case, outcome in cases.items():
        if record == "layout":  # the message goes on to say what does not match
            assert outcome[0] == "ValueError", (case, outcome)
            assert outcome[1].startswith("ModularTensor residues do not match their prime basis"), (case, outcome)
        else:  # named by the first slot that holds them
            slot = case.split(" ")[1].split("+")[0].rstrip(":")
            kind = "primes" if slot == "primes" else "residues"
            assert outcome == ["TypeError", f"ModularTensor attribute '{slot}' must hold int64 {kind}, "
                                            f"got torch.{record}"], case


# The 20 largest primes below 2^30.
OTHER = [n for n in range(2**30 - 1, 2**30 - 1000, -2) if all(n % k for k in range(3, math.isqrt(n) + 1, 2))][:20]


def in_basis(primes, value, shape, device):
    num = torch.tensor([value % p for p in primes]).view(-1, *[1] * len(shape)).expand(-1, *shape).contiguous()
    return MT(num.to(device), torch.ones_like(num).to(device), torch.tensor(primes))


@pytest.mark.parametrize("basis", ["reversed", "other", "shorter"])
def test_operations_refuse_another_basis(device, basis):
    primes = {"reversed": kx.PRIMES.tolist()[::-1], "other": OTHER, "shorter": kx.PRIMES.tolist()[:19]}[basis]
    a, m = in_basis(primes, 5, (3,), device), in_basis(primes, 5, (2, 2), device)
    b = MT.from_int(7, (3,), device)
    for op in [lambda: a + b, lambda: b + a, lambda: a - b, lambda: b - a, lambda: a * b, lambda: b / a,
               lambda: a == b, lambda: b == a, lambda: a.dot(b), lambda: b.dot(a), lambda: a + 1, lambda: 1 + a,
               lambda: MT.from_int(0, (3,), device) + a, lambda: a == 5, lambda: m.matmul(MT.ones((2, 2), device)),
               lambda: MT.ones((2, 2), device).matmul(m),
               lambda: a + MT.from_int(7, (), device)]:  # checked before anything else: ranks differ too
        with pytest.raises(ValueError, match=BASES_MESSAGE):
            op()


def test_equal_bases_combine(device):
    # The standard primes in a tensor of their own, and another basis used throughout.
    a = in_basis(kx.PRIMES.tolist(), 5, (3,), device)
    assert a.primes is not kx.PRIMES
    assert bool((a + 7 == MT.from_int(12, (3,), device)).all())
    assert MT.from_int(2, (3,), device).dot(a).to_rational() == (30, 1)
    a, b = in_basis(OTHER, 5, (3,), device), in_basis(OTHER, -2, (3,), device)
    assert bool((a + b == in_basis(OTHER, 3, (3,), device)).all())
    assert (a * b).sum().to_rational() == a.dot(b).to_rational() == (-30, 1)
    sixth = MT.from_fraction(1, 6, (2,), device)  # an operand without a basis shares the left one
    duck = types.SimpleNamespace(num=sixth.num, denom=sixth.denom, _approx=sixth._approx)
    assert (MT.from_fraction(1, 3, (2,), device) + duck).to_float().tolist() == pytest.approx([0.5] * 2)


def test_methods_looping_back_raise_recursion_error():
    outcomes = run_child("""
        n = d = torch.ones(20, 3, dtype=torch.int64)
        SumLoop = type("SumLoop", (MT,), {"_sum_dim": MT.sum})
        AddLoop = type("AddLoop", (MT,), {"__add__": MT.__radd__})
        MulLoop = type("MulLoop", (MT,), {"__mul__": MT.__rmul__})
        Overridden = type("Overridden", (MT,), {"_sum_dim": lambda self, dim: ("overridden", dim)})
        attempt("sum", lambda: SumLoop(n, d).sum(0))
        attempt("add", lambda: AddLoop(n, d) + 1)
        attempt("radd", lambda: 1 + AddLoop(n, d))
        attempt("mul", lambda: MulLoop(n, d) * 2)
        out["overridden"] = Overridden(n, d).sum(1)  # an override is called, not looped into
        out["afterwards"] = (MT.from_int(2, (), "cpu") + 1).to_rational()
    """)
    for case in ("sum", "add", "radd", "mul"):
        assert outcomes[case][0] == "RecursionError", (case, outcomes[case])
        assert "maximum recursion depth exceeded" in outcomes[case][1]
    assert outcomes["overridden"] == ["overridden", 1]
    assert outcomes["afterwards"] == [3, 1]


def test_recursion_depth_is_released_after_each_call(device):
    x = MT.from_int(1, (2,), device)
    for _ in range(3 * sys.getrecursionlimit()):
        x = x + 0
    assert x.sum().to_rational() == (2, 1)
