"""Construction benchmark: ModularTensor.from_tensor of 10^6 float64 values on
the CPU against the literal per-prime torch loop.  Prints the ratio from one
run (best of a few repetitions of each).

    PYTHONPATH=. /usr/bin/python3 bench/bench_construct.py

The loop allocates two [20, 10^6] int64 tensors (160 MB each) per call;
from_tensor writes the numerators only, its denominators being one value per
prime broadcast over the shape.  With glibc's defaults such blocks are mmap'ed
fresh and returned on free, so every call would pay for page faults and the
benchmark would measure the kernel's page zeroing rather than either
implementation.  The benchmark therefore runs
with glibc told to keep and reuse freed memory (re-executing itself with the
settings below when they are not in the environment), and says so.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, reuse_freed_memory  # noqa: E402

reuse_freed_memory()

import torch  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from varnix.orvo.kalvex import PRIMES, ModularTensor  # noqa: E402

N = 10**6
REPEATS = 7


def literal_loop(x, primes):
    """The per-prime loop written with plain torch operations."""
    scaled = (x * 2**52).to(torch.int64)
    num = torch.stack([scaled % p for p in primes])
    denom = torch.stack([torch.full_like(scaled, 2**52 % p.item()) for p in primes])
    return num, denom


def main():
    gen = torch.Generator().manual_seed(0)
    x = (torch.rand(N, generator=gen, dtype=torch.float64) - 0.5) * 4000  # |v| < 2000, both signs

    mt = ModularTensor.from_tensor(x, "cpu")
    num, denom = literal_loop(x, PRIMES)
    assert torch.equal(mt.num, num) and torch.equal(mt.denom, denom), "results differ"
    del mt, num, denom

    for threads in sorted({1, torch.get_num_threads()}):
        torch.set_num_threads(threads)
        ours = best_of(lambda: ModularTensor.from_tensor(x, "cpu"), repeat=REPEATS)
        loop = best_of(lambda: literal_loop(x, PRIMES), repeat=REPEATS)
        print(f"torch {torch.__version__}, {threads} thread(s); {N} float64 values -> [20, {N}] int64 residues;"
              f" best of {REPEATS}")
        print(f"  from_tensor        {ours * 1e3:8.2f} ms")
        print(f"  per-prime loop     {loop * 1e3:8.2f} ms")
        print(f"  ratio              {loop / ours:8.2f}x faster than the loop (target >= 6x on one thread)")


if __name__ == "__main__":
    main()
