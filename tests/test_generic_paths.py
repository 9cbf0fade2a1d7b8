"""The host paths and the generic paths that other devices take agree bit for
bit: every case of path_cases.py runs here and in a child process with
KALVEX_GENERIC_PATHS set the other way round, and residues, approximations
and errors must be identical.  (CI also runs the whole suite with the
switch on; this catches what the suite's expectations leave open, such as
the approximations and the values stored for out-of-range floats.)

The values made afresh on a device also share one basis tensor there.
"""
import os
import subprocess
import sys

import pytest
import torch

import path_cases
import varnix.orvo.kalvex as kx
from varnix.orvo.kalvex import ModularTensor as MT

SWITCH = "KALVEX_GENERIC_PATHS"
HERE = os.path.dirname(os.path.abspath(__file__))
CASES = list(path_cases.cases("cpu"))  # the names


@pytest.fixture(scope="module")
def other_paths(tmp_path_factory):
    """Every case's result with the switch flipped relative to this process."""
    env = dict(os.environ)
    if os.environ.get(SWITCH) == "1":
        env.pop(SWITCH)
    else:
        env[SWITCH] = "1"
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(HERE), HERE, env.get("PYTHONPATH")]))
    path = tmp_path_factory.mktemp("paths") / "results.pt"
    done = subprocess.run([sys.executable, os.path.join(HERE, "path_cases.py"), str(path), "cpu"], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    return torch.load(path)


@pytest.fixture(scope="module")
def these_paths():
    return path_cases.cases("cpu")


@pytest.mark.parametrize("name", CASES)
def test_results_are_identical_on_both_paths(name, these_paths, other_paths):
    assert path_cases.outcome(these_paths[name]) == other_paths[name]


def test_only_the_refusals_raise(other_paths):
    # A case that fails for an unintended reason would compare nothing but its message.
    raised = {name for name, result in other_paths.items() if isinstance(result, tuple) and result[:1] == ("raises",)}
    assert raised == path_cases.REFUSED


class TestStandardBasis:
    def test_values_made_afresh_share_one_basis_tensor(self, device):
        x = MT.from_tensor(torch.tensor([0.5, -1.25, 3.0], dtype=torch.float64), device)
        made = [x, MT.from_int(3, (2,), device), MT.zeros((1,), device), MT.ones((), device),
                MT.from_fraction(10**40, 3, (2,), device), x.sum(), x.dot(x), (x * x).simplify(), x.prod(),
                MT(x.num, x.denom), MT(x.num, x.denom, kx.PRIMES)]
        basis = x.primes
        assert all(m.primes is basis for m in made)
        assert basis.device == x.num.device and torch.equal(basis.cpu(), kx.PRIMES)
        if torch.device(device).type == "cpu":
            assert basis is kx.PRIMES

    def test_results_keep_the_basis_of_their_operands(self, device):
        own = kx.PRIMES.clone().to(device)
        x = MT(MT.from_int(2, (3,), device).num, MT.ones((3,), device).denom, own)
        assert x.primes is own
        assert (x + x).primes is own and (x * 3).primes is own
