"""Independent expectations: residues by Python's % on the basis, values by Fraction."""
from fractions import Fraction

import torch

from varnix.orvo.kalvex import PRIMES

BASIS = [int(p) for p in PRIMES.tolist()]
SCALE = 2**52


def residues(value):
    return [value % p for p in BASIS]


def captured(v):
    """The exact fraction a float is captured as: trunc(v * 2^52) / 2^52."""
    return Fraction(int(v * SCALE), SCALE)


def column(t, index=()):
    """The residues of one element, as a list over the primes."""
    return t[(slice(None),) + tuple(index)].tolist()
