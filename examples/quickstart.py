"""Exact sums and dot products of float tensors, read back as integers and decimals.

Run from the repository root after building:
    PYTHONPATH=. /usr/bin/python3 examples/quickstart.py
"""
import math
from fractions import Fraction

import torch

from varnix.orvo.kalvex import ModularTensor

device = "cuda" if torch.cuda.is_available() else "cpu"

# 100000 doubles in [1, 2): every one is captured exactly (52 fractional bits).
gen = torch.Generator().manual_seed(0)
x = 1 + torch.rand(100_000, dtype=torch.float64, generator=gen)

exact = ModularTensor.from_tensor(x, device).sum()   # a one-element ModularTensor
num, den = exact.to_rational()                      # Python ints, lowest terms
print("float64 sum:      ", repr(x.sum().item()))
print("exact sum:        ", exact.to_decimal())     # a 100-digit decimal.Decimal
print("as a fraction:     %d / 2**%d" % (num, den.bit_length() - 1))
print("float sum is off by", float(Fraction(x.sum().item()) - Fraction(num, den)))
assert Fraction(num, den) == sum(map(Fraction, x.tolist()))
assert float(Fraction(num, den)) == math.fsum(x.tolist())

# An exact dot product: every product and sum is kept as a fraction.
a = torch.tensor([0.5, -1.25, 3.0, 1000.125], dtype=torch.float64)
b = torch.tensor([4.0, 0.75, -0.5, 2.0**-40], dtype=torch.float64)
dot = ModularTensor.from_tensor(a, device).dot(ModularTensor.from_tensor(b, device))
print("exact dot product:", Fraction(*dot.to_rational()), "=", dot.to_decimal())
assert Fraction(*dot.to_rational()) == sum(Fraction(u) * Fraction(v) for u, v in zip(a.tolist(), b.tolist()))

# Values are stored as residues modulo 20 primes, beside a float32 view.
third = ModularTensor.from_fraction(-1, 3, (2, 3), device)
print(repr(third), "residues:", tuple(third.num.shape))
print(third)                                        # the values: -1/3 in every place
print("1/3 + 1/6 =", Fraction(*(ModularTensor.from_fraction(1, 3, (), device)
                                 + ModularTensor.from_fraction(1, 6, (), device)).to_rational()))
