"""The hot paths of this build against another build of the module, in one run.

    /usr/bin/python3 bench/bench_against_build.py [OTHER_ROOT]

OTHER_ROOT is a checkout whose in-place build (varnix/orvo/kalvex*.so) is
the reference, e.g. a worktree of an earlier commit:

    git worktree add /tmp/before HEAD~3 && (cd /tmp/before && scripts/build)
    /usr/bin/python3 bench/bench_against_build.py /tmp/before

Each build is timed in its own process (the module name is the same), the
two alternating three times, and the best time of each kept.  Without
OTHER_ROOT only this build is timed.  Prints times and ratios (other / this:
above 1.0 is faster here); one thread.  Also prints the two per-call targets
of the one-element paths: a + b at most 3 us and simplify at most 6 us.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from _common import ALLOCATOR_ENV, best_of, per_call  # noqa: E402

N = 10**6
ROUNDS = 3


def measure(root):
    """Best seconds per call of each case, with the module of `root`."""
    sys.path.insert(0, root)
    import torch

    from varnix.orvo.kalvex import ModularTensor as MT

    assert os.path.dirname(os.path.dirname(os.path.dirname(sys.modules["varnix.orvo.kalvex"].__file__))) == root
    torch.set_num_threads(1)
    gen = torch.Generator().manual_seed(0)
    a_float = torch.randn(N, dtype=torch.float64, generator=gen) * 100
    b_float = torch.randn(N, dtype=torch.float64, generator=gen) * 100
    x, y = MT.from_tensor(a_float, "cpu"), MT.from_tensor(b_float, "cpu")
    m1 = MT.from_tensor(torch.randn(128, 128, dtype=torch.float64, generator=gen), "cpu")
    m2 = MT.from_tensor(torch.randn(128, 128, dtype=torch.float64, generator=gen), "cpu")
    s, t = MT.from_fraction(1, 3, (), "cpu"), MT.from_fraction(2, 7, (), "cpu")
    unreduced = s + t
    column = MT.from_int(0, (), "cpu").primes.view(-1, 1)
    mixed_n = torch.randint(-1000, 1000, (10**5,), generator=gen)
    mixed_d = torch.randint(1, 41, (10**5,), generator=gen)
    mixed = MT(mixed_n.unsqueeze(0) % column, mixed_d.unsqueeze(0) % column)
    grid = MT(mixed_n.view(1, 100, 1000) % column.view(-1, 1, 1), mixed_d.view(1, 100, 1000) % column.view(-1, 1, 1))
    square = MT(mixed_n[:4096].view(1, 64, 64) % column.view(-1, 1, 1),
                mixed_d[:4096].view(1, 64, 64) % column.view(-1, 1, 1))
    cases = {
        "x + y, 10^6": (lambda: x + y, 5),
        "sum, 10^6": (lambda: x.sum(), 5),
        "dot, 10^6": (lambda: x.dot(y), 5),
        "matmul 128x128": (lambda: m1.matmul(m2), 3),
        "from_tensor, 10^6": (lambda: MT.from_tensor(a_float, "cpu"), 5),
        "sort, 10^6": (lambda: x.sort(), 3),
        "sum, mixed denominators, 10^5": (lambda: mixed.sum(), 5),
        "sum(dim=1), mixed 100x1000": (lambda: grid.sum(dim=1), 5),
        "prod, 10^5": (lambda: mixed.prod(), 5),
        "cumsum, 10^5 captured": (lambda: x[:10**5].cumsum(0), 10),
        "cumsum, mixed 10^5": (lambda: mixed.cumsum(0), 10),
        "cumprod, mixed 10^5": (lambda: mixed.cumprod(0), 10),
        "matmul, mixed 64x64": (lambda: square.matmul(square), 3),
    }
    # The running values allocate 32 MB per call: their first calls run while
    # the allocator is still growing its heap, so they are timed over more.
    out = {name: best_of(fn, repeat=repeat) for name, (fn, repeat) in cases.items()}
    out["one-element a + b"] = per_call(lambda: s + t)
    out["one-element simplify"] = per_call(unreduced.simplify)
    return out


def run(root):
    env = dict(os.environ, **ALLOCATOR_ENV)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--measure", root], env=env,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--measure":
        print(json.dumps(measure(sys.argv[2])))
        return
    other = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
    best = {}
    for _ in range(ROUNDS):
        for root in [ROOT] + ([other] if other else []):
            for name, seconds in run(root).items():
                key = (root, name)
                best[key] = min(best.get(key, seconds), seconds)
    print(f"one thread; best of {ROUNDS} alternating runs" + (f"; other build: {other}" if other else ""))
    names = [name for (root, name) in best if root == ROOT]
    for name in names:
        here = best[(ROOT, name)]
        unit, scale = ("us", 1e6) if name.startswith("one-element") else ("ms", 1e3)
        line = f"  {name:<32} this {here * scale:9.3f} {unit}"
        if other:
            there = best[(other, name)]
            line += f"   other {there * scale:9.3f} {unit}   other/this {there / here:5.2f}"
        print(line)
    print(f"  targets: one-element a + b <= 3 us ({best[(ROOT, 'one-element a + b')] * 1e6:.2f}), "
          f"simplify <= 6 us ({best[(ROOT, 'one-element simplify')] * 1e6:.2f})")


if __name__ == "__main__":
    main()
