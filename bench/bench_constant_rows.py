"""Constant residue rows, on one thread: filled constructors against the size of
their shape, and the exact sum of captured doubles end to end against
math.fsum of the same list.  Ratios from one run.

    /usr/bin/python3 bench/bench_constant_rows.py

A residue row that is the same for every element (the denominators of
captured floats, both halves of from_int/zeros/ones) is held as one value per
prime broadcast over the shape, so these costs should not grow with n.
"""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, per_call, reuse_freed_memory, row  # noqa: E402

reuse_freed_memory()

import torch  # noqa: E402
from support import storage_bytes  # noqa: E402

from varnix.orvo.kalvex import ModularTensor  # noqa: E402


def memory_held(t):
    """Bytes of memory behind the residues and the approximation of t."""
    tensors = [t.num, t.denom] + ([t._approx] if t._approx is not None else [])
    return sum(storage_bytes(x) for x in tensors)


def main():
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, threads: {torch.get_num_threads()}")

    print("(a) filled constructors: time per call and memory held, by shape")
    for label, make in [("zeros", lambda shape: ModularTensor.zeros(shape, "cpu")),
                        ("from_int(v)", lambda shape: ModularTensor.from_int(123456789, shape, "cpu"))]:
        small = per_call(lambda: make((1000,)))
        large = per_call(lambda: make((10**7,)), min_time=0.2)
        print(f"  {label:<12} (10^3,): {small * 1e6:8.1f} us {memory_held(make((1000,))):>12} B   "
              f"(10^7,): {large * 1e6:8.1f} us {memory_held(make((10**7,))):>12} B   (target <= 100 us)")

    print("(b) exact sum of 10^6 captured doubles end to end: from_tensor(x).sum().to_rational()")
    gen = torch.Generator().manual_seed(0)
    x = torch.randn(10**6, dtype=torch.float64, generator=gen) * 100
    values = x.tolist()
    ours = best_of(lambda: ModularTensor.from_tensor(x, "cpu").sum().to_rational(), repeat=7)
    fsum = best_of(lambda: math.fsum(values), repeat=7)
    row("exact sum vs math.fsum (rounded)", ours, fsum)
    capture = best_of(lambda: ModularTensor.from_tensor(x, "cpu"), repeat=7)
    captured = ModularTensor.from_tensor(x, "cpu")
    total = best_of(lambda: captured.sum().to_rational(), repeat=7)
    print(f"    of which capture {capture * 1e3:.2f} ms, sum and read-back {total * 1e3:.2f} ms"
          f" (target: no slower than fsum, ratio >= 1)")


if __name__ == "__main__":
    main()
