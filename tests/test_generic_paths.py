"""The host paths and the generic paths other devices take agree bit for bit:
every case of path_cases.py runs here and in a child process with
KALVEX_GENERIC_PATHS flipped.  This catches what the suite's expectations leave
open (approximations, values stored for out-of-range floats).  Values made
afresh on a device share one basis tensor there."""
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
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(HERE), HERE,
                                                                    os.environ.get("PYTHONPATH")])))
    if env.pop(SWITCH, None) != "1":
        env[SWITCH] = "1"
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


def test_values_made_afresh_share_one_basis_and_results_keep_their_operands(device):
    x = MT.from_tensor(torch.tensor([0.5, -1.25, 3.0], dtype=torch.float64), device)
    made = [x, MT.from_int(3, (2,), device), MT.zeros((1,), device), MT.ones((), device),
            MT.from_fraction(10**40, 3, (2,), device), x.sum(), x.dot(x), (x * x).simplify(), x.prod(),
            MT(x.num, x.denom), MT(x.num, x.denom, kx.PRIMES)]
    assert all(m.primes is x.primes for m in made)
    assert x.primes.device == x.num.device and torch.equal(x.primes.cpu(), kx.PRIMES)
    assert (x.primes is kx.PRIMES) == (torch.device(device).type == "cpu")
    own = kx.PRIMES.clone().to(device)
    y = MT(MT.from_int(2, (3,), device).num, MT.ones((3,), device).denom, own)
    assert y.primes is own and (y + y).primes is own and (y * 3).primes is own
