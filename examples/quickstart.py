"""Make exact rational tensors and look at how they are stored.

Run from the repository root after building:
    PYTHONPATH=. /usr/bin/python3 examples/quickstart.py
"""
from fractions import Fraction

import torch

from varnix.orvo.kalvex import N_PRIMES, PRIMES, ModularTensor

device = "cpu"  # or "cuda" (the constructors' default) on a machine with a GPU

# One exact fraction, filled into a 2x3 tensor.  Numerator and denominator are
# kept as their residues modulo each of the N_PRIMES primes.
third = ModularTensor.from_fraction(-1, 3, (2, 3), device)
print(third)                                   # ModularTensor(shape=torch.Size([2, 3]), device=cpu)
print("residue tensors:", tuple(third.num.shape), tuple(third.denom.shape))   # (20, 2, 3) twice
print("numerator residues of -1:", third.num[:3, 0, 0].tolist(), "...")
assert third.num[:, 0, 0].tolist() == [-1 % p for p in PRIMES.tolist()]

# Integers of any size are exact: only their residues are stored, beside a
# float32 approximation used for display.
big = ModularTensor.from_int(3**60, (), device)
assert big.num.tolist() == [3**60 % p for p in PRIMES.tolist()]
print("3**60 stored as", N_PRIMES, "residues; approximation:", big._approx.item())

# Float tensors are captured as fractions n / 2**52 with n = trunc(v * 2**52):
# exact for |v| < 2048 down to 2**-52 (0.1 loses its last four bits).
x = torch.tensor([0.1, -0.75, 1000.5], dtype=torch.float64)
captured = ModularTensor.from_tensor(x, device)
print(captured, "approx:", captured._approx.tolist())
for i, v in enumerate(x.tolist()):
    n = int(Fraction(v) * 2**52)  # the exact numerator over 2**52
    assert captured.num[:, i].tolist() == [n % p for p in PRIMES.tolist()]
    print(f"  {v!r} -> {Fraction(n, 2**52)}")

zeros, ones = ModularTensor.zeros((4,), device), ModularTensor.ones((4,), device)
print(zeros, ones)
