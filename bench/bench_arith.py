"""Element-wise arithmetic: fused residue kernels against the unfused torch formula."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, reuse_freed_memory, row  # noqa: E402

reuse_freed_memory()

import torch  # noqa: E402
from support import literal_binary  # noqa: E402

from varnix.orvo.kalvex import ModularTensor  # noqa: E402


def fused(op, x, y):
    return {"+": lambda: x + y, "*": lambda: x * y, "/": lambda: x / y, "==": lambda: x == y}[op]()


def main():
    torch.set_num_threads(1)
    print(f"threads: {torch.get_num_threads()}")
    n = 10**6
    gen = torch.Generator().manual_seed(0)
    x = ModularTensor.from_tensor(torch.randn(n, dtype=torch.float64, generator=gen) * 100, "cpu")
    y = ModularTensor.from_tensor(torch.randn(n, dtype=torch.float64, generator=gen) * 100, "cpu")
    print("10^6 elements (residues [20, 10^6]): fused vs unfused torch formula")
    for op in ["+", "*", "/", "=="]:
        ours = best_of(lambda: fused(op, x, y), repeat=5)
        ref = best_of(lambda: literal_binary(op, x, y), repeat=3)
        row(f"x {op} y", ours, ref)
    print(f"  (captured operands share one denominator per prime: + reads two numerator rows and writes one,"
          f" {3 * 20 * n * 8 / 1e6:.0f} MB; target for x + y >= 8x)")

    s = ModularTensor.from_fraction(1, 3, (), "cpu")
    t = ModularTensor.from_fraction(2, 7, (), "cpu")
    print("one-element tensors, per call including the Python call")
    for op in ["+", "*", "/", "=="]:
        ours = best_of(lambda: fused(op, s, t), repeat=5, number=2000)
        ref = best_of(lambda: literal_binary(op, s, t), repeat=5, number=500)
        row(f"s {op} t", ours, ref, unit="us")


if __name__ == "__main__":
    main()
