"""The host paths and the generic paths other devices take agree bit for bit:
every case of path_cases.py runs here and in a child process with
KALVEX_GENERIC_PATHS flipped.  This catches what the suite's expectations leave
open (approximations, values stored for out-of-range floats).  With
KALVEX_OTHER_TORCH naming the results path_cases.py wrote under another torch
(CI: Debian's 1.13 for the run on pip's torch 2), every case must agree with
those too.  Values made afresh on a device share one basis tensor there."""
import os
import pickle
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
    with open(path, "rb") as f:
        return pickle.load(f)["cases"]


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


@pytest.mark.skipif(not os.environ.get("KALVEX_OTHER_TORCH"), reason="KALVEX_OTHER_TORCH names no results to compare")
@pytest.mark.parametrize("name", CASES)
def test_results_are_identical_under_another_torch(name, these_paths):
    with open(os.environ["KALVEX_OTHER_TORCH"], "rb") as f:
        other = pickle.load(f)
    assert other["cases"].keys() == these_paths.keys()
    mine, theirs = path_cases.outcome(these_paths[name]), other["cases"][name]
    if name in path_cases.TORCH_DEPENDENT and other["torch"].split(".")[0] != torch.__version__.split(".")[0]:
        assert mine != theirs and [mine[:1], theirs[:1]].count(("raises",)) == 1
        return
    if name in path_cases.ROUNDED_BY_TORCH:
        approximations = [], []
        mine, theirs = (without_approximations(o, found) for o, found in zip((mine, theirs), approximations))
        assert len(approximations[0]) == len(approximations[1])
        for a, b in zip(*approximations):
            assert torch.allclose(a, b, rtol=1e-6, atol=0), "beyond float32 rounding"
    assert mine == theirs, f"torch {torch.__version__} and torch {other['torch']} differ"


def without_approximations(outcome, found):
    """The outcome with the approximation of every ModularTensor left out; those go to `found` as float32."""
    if isinstance(outcome, tuple) and outcome[:1] == ("ModularTensor",):
        if outcome[4] is not None:
            found.append(torch.tensor(outcome[4][3], dtype=torch.int32).view(torch.float32))
        return outcome[:4] + (None,) + outcome[5:]
    return tuple(without_approximations(o, found) for o in outcome) if isinstance(outcome, tuple) else outcome


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
