"""Independent expectations: the basis written out, residues by Python's %,
values by fractions.Fraction, and the literal torch formulations that the
tests compare residues with and the benchmarks time against."""
import ast
import math
import os
import random
from fractions import Fraction

import torch

from varnix.orvo.kalvex import ModularTensor as MT

BASIS = [
    2147483629, 2147483587, 2147483549, 2147483489, 2147483477, 2147483423, 2147483399,
    2147483353, 2147483323, 2147483269, 2147483249, 2147483237, 2147483179, 2147483171,
    2147483137, 2147483123, 2147483077, 2147483069, 2147483059, 2147483053,
]


SCALE = 2**52  # floats are captured as fractions over 2^52

# Where torch 1.13 and torch 2 differ in what a ModularTensor passes through
# (an error's wording, what an index may be), the tests say which gives which.
TORCH_MAJOR = int(torch.__version__.split(".")[0])


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


def build_flags(name):
    """setup.py's flag list `name` with the language standard it picks for the
    torch imported here."""
    return [setup_literal("cxx_standard")[TORCH_MAJOR]] + setup_literal(name)


# Nested lists of fractions <-> tensors, read back here by CRT.
P = len(BASIS)
M = math.prod(BASIS)


def leaves_and_shape(values):
    """Leaves and shape of nested lists; a leaf is a number or an (n, d) tuple."""
    if not isinstance(values, list):
        return [values], []
    parts = [leaves_and_shape(v) for v in values]
    return [x for leaves, _ in parts for x in leaves], [len(values)] + (parts[0][1] if parts else [])


def nest(flat, shape):
    if not shape:
        return flat[0]
    step = len(flat) // shape[0] if shape[0] else 0
    return [nest(flat[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def tensor_of(values, device, approx=True):
    """A tensor of nested lists of fractions; (n, d) tuples are stored unreduced."""
    flat, shape = leaves_and_shape(values)
    pairs = [v if isinstance(v, tuple) else (Fraction(v).numerator, Fraction(v).denominator) for v in flat]
    num = torch.tensor([[n % p for n, _ in pairs] for p in BASIS], dtype=torch.int64).view(P, *shape)
    den = torch.tensor([[d % p for _, d in pairs] for p in BASIS], dtype=torch.int64).view(P, *shape)
    floats = torch.tensor([n / d for n, d in pairs], dtype=torch.float32).view(shape).to(device) if approx else None
    return MT(num.to(device), den.to(device), None, floats)


def signed_crt(rs):
    """The integer of the signed range (|v| <= M // 2) with residues rs, one per prime of BASIS."""
    x = sum(r * (M // p) * pow(M // p, -1, p) for r, p in zip(rs, BASIS)) % M
    return x - M if x > M // 2 else x


def pairs_of(t):
    """Nested (N, D) of every element, read back here by CRT, unreduced."""
    num, den = (r.cpu().reshape(P, -1).t().tolist() for r in (t.num, t.denom))
    return nest([(signed_crt(n), signed_crt(d)) for n, d in zip(num, den)], list(t.shape))


def values_of(t):
    return nest([Fraction(*pair) for pair in leaves_and_shape(pairs_of(t))[0]], list(t.shape))


def random_fractions(shape, seed, nonzero=False):
    rng = random.Random(seed)
    numerators = [n for n in range(-99, 100) if n or not nonzero]
    return nest([Fraction(rng.choice(numerators), rng.randrange(1, 60)) for _ in range(math.prod(shape))],
                 list(shape))


def transposed(rows):
    return [list(col) for col in zip(*rows)]


def assert_same(got, want):
    """Identical results: residues, approximations bit for bit, dtypes, shapes,
    devices, host values and errors."""
    if isinstance(want, MT):
        assert isinstance(got, MT) and got.shape == want.shape
        got, want = [(t.num, t.denom, t.primes, t._approx, t.device) for t in (got, want)]
    if isinstance(want, torch.Tensor):
        assert isinstance(got, torch.Tensor)
        assert (got.dtype, got.shape, got.device) == (want.dtype, want.shape, want.device)
        bits = {torch.float32: torch.int32, torch.float64: torch.int64}.get(want.dtype)
        assert torch.equal(*(t.contiguous().view(bits) if bits else t for t in (got, want)))
    elif isinstance(want, (tuple, list)):
        assert type(got) is type(want) and len(got) == len(want), (got, want)
        for g, w in zip(got, want):
            assert_same(g, w)
    else:
        assert type(got) is type(want) and got == want


def literal_pow(x, n):
    """Exponentiation by squaring with a simplify after every product; 1 / x^-n for n < 0."""
    result = MT.ones(tuple(x.shape), str(x.device))
    if n < 0:
        return result / literal_pow(x, -n)
    while n > 0:
        if n % 2 == 1:
            result = (result * x).simplify()
        x = (x * x).simplify()
        n //= 2
    return result


def bit_size(f):
    """Bits of a Fraction's numerator and denominator together."""
    return abs(f.numerator).bit_length() + f.denominator.bit_length()


def newton_fraction(a, x0, max_iterations=10, max_bits=500):
    """Newton's square root in Fractions, stopping before the iterate outgrows max_bits."""
    x = x0
    for _ in range(max_iterations):
        if 2 * bit_size(x) + bit_size(a) + 2 > max_bits:
            break
        x = (x + a / x) / 2
    return x
