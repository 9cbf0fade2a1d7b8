"""Ordering and shape operations against the literal sequence of torch calls."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, reuse_freed_memory, row  # noqa: E402

reuse_freed_memory()

import torch  # noqa: E402

from bench_reduce import literal_matmul  # noqa: E402
from varnix.orvo.kalvex import N_PRIMES, ModularTensor  # noqa: E402


def literal_pick(x, approx, indices, dim):
    """The positions spread over the prime axis, one gather per residue tensor."""
    if dim < 0:
        dim = len(x.shape) + dim
    indices_exp = indices.unsqueeze(0).expand(N_PRIMES, *indices.shape)
    num = torch.gather(x.num, dim + 1, indices_exp)
    denom = torch.gather(x.denom, dim + 1, indices_exp)
    return ModularTensor(num, denom, x.primes, approx), indices


def literal_sort(x, dim=-1, descending=False):
    keys, indices = torch.sort(x.to_float(), dim=dim, descending=descending)
    return literal_pick(x, keys, indices, dim)


def literal_topk(x, k, dim=-1, largest=True):
    keys, indices = torch.topk(x.to_float(), k, dim=dim, largest=largest)
    return literal_pick(x, keys, indices, dim)


def literal_transpose(x, dim0, dim1):
    a0 = dim0 + 1 if dim0 >= 0 else dim0
    a1 = dim1 + 1 if dim1 >= 0 else dim1
    approx = x._approx.transpose(dim0, dim1) if x._approx is not None else None
    return ModularTensor(x.num.transpose(a0, a1), x.denom.transpose(a0, a1), x.primes, approx)


def same(ours, literal):
    (a, ia), (b, ib) = ours, literal
    return torch.equal(a.num, b.num) and torch.equal(a.denom, b.denom) and torch.equal(ia, ib) and \
        torch.equal(a._approx, b._approx)


def same_order(ours, literal, x, dim=-1):
    """The literal order up to the order within runs of tied keys, which
    ours takes from the exact values: the same keys in the same places, and
    the residues of the elements our indices name."""
    (a, ia), (b, ib) = ours, literal
    return torch.equal(a._approx, b._approx) and torch.equal(x._approx.gather(dim, ia), a._approx) and \
        torch.equal(ia.sort(dim=dim).values, ib.sort(dim=dim).values) and same(ours, literal_pick(x, a._approx, ia, dim))


def main():
    torch.set_num_threads(1)
    print(f"threads: {torch.get_num_threads()}")
    gen = torch.Generator().manual_seed(0)
    n = 10**6
    x = ModularTensor.from_tensor(torch.randn(n, dtype=torch.float64, generator=gen) * 100, "cpu")
    print("10^6 elements (residues [20, 10^6]), ordered by their approximation: ours vs literal torch calls")
    assert same_order(x.sort(), literal_sort(x), x) and same_order(x.topk(100), literal_topk(x, 100), x)
    ours = best_of(lambda: x.sort(), repeat=3)
    ref = best_of(lambda: literal_sort(x), repeat=3)
    row("sort()", ours, ref)
    key_only = best_of(lambda: torch.sort(x._approx), repeat=3)
    print(f"  {'(torch.sort of the float keys alone)':<44} {key_only * 1e3:10.3f} ms")
    ours = best_of(lambda: x.sort(descending=True), repeat=3)
    ref = best_of(lambda: literal_sort(x, descending=True), repeat=3)
    row("sort(descending=True)", ours, ref)
    ours = best_of(lambda: x.topk(100), repeat=5)
    ref = best_of(lambda: literal_topk(x, 100), repeat=5)
    row("topk(100)", ours, ref)
    ours = best_of(lambda: x.topk(100, largest=False), repeat=5)
    ref = best_of(lambda: literal_topk(x, 100, largest=False), repeat=5)
    row("topk(100, largest=False)", ours, ref)

    m = x.reshape(1000, 1000)
    print("1000 x 1000, along the first axis (strided picks)")
    assert same_order(m.sort(dim=0), literal_sort(m, dim=0), m, dim=0)
    ours = best_of(lambda: m.sort(dim=0), repeat=3)
    ref = best_of(lambda: literal_sort(m, dim=0), repeat=3)
    row("sort(dim=0)", ours, ref)

    a = ModularTensor.from_tensor(torch.randn(128, 128, dtype=torch.float64, generator=gen), "cpu")
    b = ModularTensor.from_tensor(torch.randn(128, 128, dtype=torch.float64, generator=gen), "cpu")
    print("128 x 128: transpose, then matmul")
    ours_result = a.transpose(0, 1).matmul(b)
    lit = literal_transpose(a, 0, 1)
    lit_num, lit_den = literal_matmul(lit, b)
    assert torch.equal(ours_result.num, lit_num) and torch.equal(ours_result.denom, lit_den)
    ours = best_of(lambda: a.transpose(0, 1).matmul(b), repeat=3)
    ref = best_of(lambda: literal_matmul(literal_transpose(a, 0, 1), b), repeat=1)
    row("a.transpose(0, 1).matmul(b) vs literal", ours, ref)
    contiguous = ModularTensor(a.T.num.contiguous(), a.T.denom.contiguous(), a.primes, a.T._approx.contiguous())
    ref = best_of(lambda: contiguous.matmul(b), repeat=3)
    row("  the same with a contiguous copy as operand", ours, ref)
    ours = best_of(lambda: a.T, repeat=5, number=2000)
    ref = best_of(lambda: literal_transpose(a, -2, -1), repeat=5, number=2000)
    row("a.T alone, per call", ours, ref, unit="us")


if __name__ == "__main__":
    main()
