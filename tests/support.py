"""Independent expectations: the basis written out, residues by Python's %,
values by fractions.Fraction, and the literal torch formulations that the
tests compare residues with and the benchmarks time against."""
import ast
import os
from fractions import Fraction

import torch

BASIS = [
    2147483629, 2147483587, 2147483549, 2147483489, 2147483477, 2147483423, 2147483399,
    2147483353, 2147483323, 2147483269, 2147483249, 2147483237, 2147483179, 2147483171,
    2147483137, 2147483123, 2147483077, 2147483069, 2147483059, 2147483053,
]


SCALE = 2**52  # floats are captured as fractions over 2^52


def captured(v):
    """The exact fraction a float is captured as: trunc(v * 2^52) / 2^52."""
    return Fraction(int(v * SCALE), SCALE)


def column(t, index=()):
    """The residues of one element, as a list over the primes."""
    return t[(slice(None),) + tuple(index)].tolist()


def residues(value):
    """Floor residues of a Python int modulo each prime, in basis order."""
    return [value % p for p in BASIS]


def assert_filled(tensor, value, shape):
    """`tensor` is int64 [20, *shape] and every element of row i is value mod p_i."""
    assert tensor.dtype == torch.int64
    assert tuple(tensor.shape) == (len(BASIS), *shape)
    column = torch.tensor(residues(value), dtype=torch.int64).view(-1, *([1] * len(shape)))
    assert torch.equal(tensor.cpu(), column.expand(-1, *shape))


def storage_bytes(t):
    """Bytes of memory behind a tensor (its whole storage, whatever its view)."""
    if hasattr(t, "untyped_storage"):
        return t.untyped_storage().nbytes()
    return t.storage().nbytes()


def assert_same_float(actual, expected):
    """Bitwise equality of float tensors (so -0.0 differs from 0.0, and NaN equals NaN)."""
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    int_type = {torch.float32: torch.int32, torch.float64: torch.int64}[actual.dtype]
    assert torch.equal(actual.cpu().view(int_type), expected.cpu().view(int_type))


def literal_binary(op, x, y):
    """Residues of x op y by the cross-multiplication formulas as plain torch
    operations, every product reduced at once; for == the flags per element."""
    P = x.primes.view(-1, *([1] * (x.num.dim() - 1)))
    a, b, c, d = x.num, x.denom, y.num, y.denom
    if op == "+":
        return (a * d % P + b * c % P) % P, b * d % P
    if op == "-":
        return (a * d % P - b * c % P) % P, b * d % P
    if op == "*":
        return a * c % P, b * d % P
    if op == "/":
        return a * d % P, b * c % P
    if op == "==":
        return (a * d % P == b * c % P).all(dim=0)
    raise ValueError(op)


def literal_matmul(a, b):
    """Residues of a.matmul(b) from the [P, m, n, k] product tensors reduced by
    halving passes along k (an odd last element carried to the next pass)."""
    P = a.primes.view(-1, 1, 1, 1)
    pn = a.num.unsqueeze(2) * b.num.transpose(1, 2).unsqueeze(1) % P
    pd = a.denom.unsqueeze(2) * b.denom.transpose(1, 2).unsqueeze(1) % P
    while pn.shape[-1] > 1:
        k = pn.shape[-1]
        carry = (pn[..., -1:], pd[..., -1:]) if k % 2 else None
        if carry:
            pn, pd = pn[..., :-1], pd[..., :-1]
        ln, ld, rn, rd = pn[..., 0::2], pd[..., 0::2], pn[..., 1::2], pd[..., 1::2]
        pn, pd = (ln * rd % P + ld * rn % P) % P, ld * rd % P
        if carry:
            pn, pd = torch.cat([pn, carry[0]], -1), torch.cat([pd, carry[1]], -1)
    return pn.squeeze(-1), pd.squeeze(-1)


def setup_literal(name):
    """The literal that setup.py assigns to `name`, or passes as keyword `name=`:
    tests that build pieces of the extension themselves use setup.py's own
    flags and libraries."""
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "setup.py")) as f:
        tree = ast.parse(f.read())
    for node in ast.walk(tree):
        if isinstance(node, ast.keyword) and node.arg == name:
            return ast.literal_eval(node.value)
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == name for t in node.targets):
            return ast.literal_eval(node.value)
    raise LookupError(f"setup.py has no literal {name}")
