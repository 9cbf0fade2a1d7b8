"""Element access: tolist() of 10^5 elements against reading each element
with x[i].to_rational(), and the cost of one x[i].

Run with /usr/bin/python3 bench/bench_tensor_habits.py.  Prints figures and
ratios from one run.
"""
import os
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, per_call, reuse_freed_memory  # noqa: E402

reuse_freed_memory()

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402

from varnix.orvo.kalvex import ModularTensor  # noqa: E402

N = 100_000
gen = torch.Generator().manual_seed(0)
values = torch.randn(N, dtype=torch.float64, generator=gen)
captured = ModularTensor.from_tensor(values, "cpu")
# Halves beyond two residues: each element is a captured float plus a third.
mixed = captured + ModularTensor.from_fraction(1, 3, (N,), "cpu")


def element_by_element(x, count):
    for i in range(count):
        Fraction(*x[i].to_rational())


def report(name, x):
    listed = best_of(x.tolist, repeat=5)
    sample = 5_000  # the per-element loop, timed on a part and scaled
    looped = best_of(lambda: element_by_element(x, sample), repeat=3) * N / sample
    print(f"tolist() of 10^5 {name:<30} {listed * 1e3:7.1f} ms   element by element "
          f"{looped * 1e3:7.1f} ms   ratio {looped / listed:5.1f}x")


assert captured.tolist()[:3] == [Fraction(v) for v in values[:3].tolist()]
report("captured floats (d = 2^52)", captured)
report("captured floats + 1/3", mixed)

matrix = ModularTensor.from_tensor(torch.randn(300, 300, dtype=torch.float64, generator=gen), "cpu")
print(f"x[i] of a vector of 10^5:    {per_call(lambda: captured[7]) * 1e6:5.2f} us")
print(f"x[i] of a 300x300 matrix:    {per_call(lambda: matrix[7]) * 1e6:5.2f} us")
print(f"x[i, 2:5] of the matrix:     {per_call(lambda: matrix[7, 2:5]) * 1e6:5.2f} us  (torch's indexing)")
row = torch.randn(300, 300)
print(f"torch: t[i] of a 300x300:    {per_call(lambda: row[7]) * 1e6:5.2f} us")
print(f"str() of 10^5 elements:      {best_of(lambda: str(captured)) * 1e3:5.2f} ms")
