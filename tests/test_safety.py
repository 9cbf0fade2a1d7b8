"""Records and operands the operations must refuse: residues of another dtype
or layout, operands in different prime bases, and calls that loop back into
the binding.  Cases that used to crash the interpreter run in a child process,
so that a crash fails one test instead of ending the run."""
import json
import os
import subprocess
import sys
import textwrap

import pytest
import torch

import varnix.orvo.kalvex as kx

MT = kx.ModularTensor
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, cwd=ROOT,
                            env=env)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    return json.loads(result.stdout.strip().splitlines()[-1])


OPERATIONS = """
    def operations(a, b, m):
        # a: the record under test, b: a sound operand it broadcasts against,
        # m: the record under test as a matrix
        return {
            "a + b": lambda: a + b, "b + a": lambda: b + a, "a - b": lambda: a - b, "b * a": lambda: b * a,
            "a / b": lambda: a / b, "b / a": lambda: b / a, "-a": lambda: -a, "a == b": lambda: a == b,
            "b == a": lambda: b == a, "a + 1": lambda: a + 1, "1 - a": lambda: 1 - a, "a.sum()": lambda: a.sum(),
            "a.sum(0)": lambda: a.sum(0), "a._sum_dim(-1)": lambda: a._sum_dim(-1), "a.dot(b)": lambda: a.dot(b),
            "b.dot(a)": lambda: b.dot(a), "m.matmul(n)": lambda: m.matmul(MT.ones((2, 3), "cpu")),
            "n.matmul(m)": lambda: MT.ones((3, 2), "cpu").matmul(m),
        }
"""


class TestResidueDtypes:
    DTYPES = ["int16", "int32", "float16", "float64", "uint8", "bool"]

    @pytest.fixture(scope="class")
    def outcomes(self):
        return run_child(OPERATIONS + f"""
    for name in {self.DTYPES!r}:
        dtype = getattr(torch, name)
        b = MT.from_int(3, (5, 4), "cpu")
        def record(slots, shape):
            # residues of 1 in the slots named, of dtype `dtype`; int64 elsewhere
            ones = torch.ones(20, *shape, dtype=torch.int64)
            return MT(*(ones.to(dtype) if s in slots else ones for s in ("num", "denom")),
                      kx.PRIMES.to(dtype) if "primes" in slots else None)
        for slots in (("num", "denom", "primes"), ("num",), ("denom",), ("primes",)):
            a, m = record(slots, (1, 4)), record(slots, (2, 2))
            for op, fn in operations(a, b, m).items():
                attempt(f"{{name}} {{'+'.join(slots)}}: {{op}}", fn)
    """)

    @pytest.mark.parametrize("dtype", DTYPES)
    def test_every_operation_names_the_slot_and_dtype(self, outcomes, dtype):
        cases = {k: v for k, v in outcomes.items() if k.startswith(dtype + " ")}
        assert len(cases) == 4 * 18
        for case, outcome in cases.items():
            slot = case.split(" ")[1].split("+")[0].rstrip(":")
            kind = "primes" if slot == "primes" else "residues"
            assert outcome == ["TypeError", f"ModularTensor attribute '{slot}' must hold int64 {kind}, "
                                            f"got torch.{dtype}"], case


class TestLayouts:
    @pytest.fixture(scope="class")
    def outcomes(self):
        return run_child(OPERATIONS + """
    ones = lambda *shape: torch.ones(*shape, dtype=torch.int64)
    layouts = {
        "short basis": (ones(20, 1, 4), ones(20, 1, 4), torch.tensor([3, 5, 7])),
        "long basis": (ones(3, 1, 4), ones(3, 1, 4), kx.PRIMES),
        "denominator rows": (ones(20, 1, 4), ones(7, 1, 4), None),
        "matrix basis": (ones(20, 1, 4), ones(20, 1, 4), kx.PRIMES.view(20, 1)),
        "scalar residues": (torch.tensor(1), torch.tensor(1), None),
        "empty basis": (ones(0, 1, 4), ones(0, 1, 4), torch.zeros(0, dtype=torch.int64)),
    }
    b = MT.from_int(3, (5, 4), "cpu")
    for name, slots in layouts.items():
        a = MT(*slots)
        m = MT(slots[0].reshape(slots[0].shape[:1] + (2, 2)) if slots[0].dim() == 3 else slots[0],
               slots[1].reshape(slots[1].shape[:1] + (2, 2)) if slots[1].dim() == 3 else slots[1], slots[2])
        for op, fn in operations(a, b, m).items():
            attempt(f"{name}: {op}", fn)
    """)

    def test_residues_that_do_not_match_their_basis_are_refused(self, outcomes):
        assert len(outcomes) == 6 * 18
        for case, outcome in outcomes.items():
            assert outcome[0] == "ValueError", (case, outcome)
            assert outcome[1].startswith("ModularTensor residues do not match their prime basis"), (case, outcome)


def first_primes_below(limit, count):
    found, n = [], limit - 1
    while len(found) < count:
        if n % 2 and all(n % k for k in range(3, int(n**0.5) + 1, 2)):
            found.append(n)
        n -= 1
    return found


class TestPrimeBases:
    MESSAGE = "ModularTensor operands use different prime bases"

    def in_basis(self, primes, value, shape, device):
        num = torch.tensor([value % p for p in primes]).view(-1, *[1] * len(shape)).expand(-1, *shape).contiguous()
        den = torch.ones_like(num)
        return MT(num.to(device), den.to(device), torch.tensor(primes))

    @pytest.mark.parametrize("basis", ["reversed", "other", "shorter"])
    def test_operations_refuse_another_basis(self, device, basis):
        standard = kx.PRIMES.tolist()
        primes = {"reversed": standard[::-1], "other": first_primes_below(2**30, 20), "shorter": standard[:19]}[basis]
        a = self.in_basis(primes, 5, (3,), device)
        b = MT.from_int(7, (3,), device)
        operations = [lambda: a + b, lambda: b + a, lambda: a - b, lambda: b - a, lambda: a * b, lambda: b / a,
                      lambda: a == b, lambda: b == a, lambda: a.dot(b), lambda: b.dot(a), lambda: a + 1,
                      lambda: 1 + a, lambda: MT.from_int(0, (3,), device) + a, lambda: a == 5]
        for op in operations:
            with pytest.raises(ValueError, match=f"^{self.MESSAGE}$"):
                op()
        m = self.in_basis(primes, 5, (2, 2), device)
        with pytest.raises(ValueError, match=f"^{self.MESSAGE}$"):
            m.matmul(MT.ones((2, 2), device))
        with pytest.raises(ValueError, match=f"^{self.MESSAGE}$"):
            MT.ones((2, 2), device).matmul(m)
        # Checked before anything else: operands of different ranks too.
        with pytest.raises(ValueError, match=f"^{self.MESSAGE}$"):
            a + MT.from_int(7, (), device)

    def test_equal_bases_combine(self, device):
        # The standard primes in a tensor of their own, and another basis used throughout.
        a = self.in_basis(kx.PRIMES.tolist(), 5, (3,), device)
        assert a.primes is not kx.PRIMES
        assert bool((a + 7 == MT.from_int(12, (3,), device)).all())
        assert MT.from_int(2, (3,), device).dot(a).to_rational() == (30, 1)
        primes = first_primes_below(2**30, 20)
        a, b = self.in_basis(primes, 5, (3,), device), self.in_basis(primes, -2, (3,), device)
        assert bool((a + b == self.in_basis(primes, 3, (3,), device)).all())
        assert (a * b).sum().to_rational() == a.dot(b).to_rational() == (-30, 1)

    def test_operands_without_a_basis_share_the_left_one(self, device):
        class Residues:
            def __init__(self, t):
                self.num, self.denom, self._approx = t.num, t.denom, t._approx

        a = MT.from_fraction(1, 3, (2,), device)
        assert (a + Residues(MT.from_fraction(1, 6, (2,), device))).to_float().tolist() == pytest.approx([0.5] * 2)


class TestRecursion:
    def test_methods_looping_back_raise_recursion_error(self):
        outcomes = run_child("""
            n = d = torch.ones(20, 3, dtype=torch.int64)

            class SumLoop(MT):
                _sum_dim = MT.sum

            class AddLoop(MT):
                __add__ = MT.__radd__

            class MulLoop(MT):
                __mul__ = MT.__rmul__

            class Overridden(MT):
                def _sum_dim(self, dim):
                    return ("overridden", dim)

            attempt("sum", lambda: SumLoop(n, d).sum(0))
            attempt("add", lambda: AddLoop(n, d) + 1)
            attempt("radd", lambda: 1 + AddLoop(n, d))
            attempt("mul", lambda: MulLoop(n, d) * 2)
            out["overridden"] = Overridden(n, d).sum(1)
            out["afterwards"] = (MT.from_int(2, (), "cpu") + 1).to_rational()
        """)
        for case in ("sum", "add", "radd", "mul"):
            assert outcomes[case][0] == "RecursionError", (case, outcomes[case])
            assert "maximum recursion depth exceeded" in outcomes[case][1]
        assert outcomes["overridden"] == ["overridden", 1]
        assert outcomes["afterwards"] == [3, 1]

    def test_depth_is_released_after_each_call(self, device):
        x = MT.from_int(1, (2,), device)
        for _ in range(3 * sys.getrecursionlimit()):
            x = x + 0
        assert x.sum().to_rational() == (2, 1)
