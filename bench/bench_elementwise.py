"""Sign-based operations, selection, inequality, extremes and powers against
their literal torch formulations (and pow against the literal chain and
fractions.Fraction)."""
import os
import sys
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, reuse_freed_memory, row  # noqa: E402

reuse_freed_memory()

import torch  # noqa: E402
from support import literal_pow  # noqa: E402

from varnix.orvo.kalvex import N_PRIMES, ModularTensor as MT  # noqa: E402


def prime_view(x):
    return x.primes.view(-1, *([1] * len(x.shape)))


def literal_abs(x):
    signs = torch.sign(x._approx)
    neg_mask = (signs < 0).unsqueeze(0).expand_as(x.num)
    new_num = torch.where(neg_mask, (-x.num) % prime_view(x), x.num)
    return MT(new_num, x.denom.clone(), x.primes, torch.abs(x._approx))


def literal_relu(x):
    mask = (x._approx > 0).unsqueeze(0).expand_as(x.num)
    new_num = torch.where(mask, x.num, torch.zeros_like(x.num))
    new_denom = torch.where(mask, x.denom, torch.ones_like(x.denom))
    return MT(new_num, new_denom, x.primes, torch.relu(x._approx))


def literal_where(x, condition, y):
    condition = condition.to(x.device)
    cond_exp = condition.unsqueeze(0).expand_as(x.num)
    new_num = torch.where(cond_exp, x.num, y.num)
    new_denom = torch.where(cond_exp, x.denom, y.denom)
    return MT(new_num, new_denom, x.primes, torch.where(condition, x._approx, y._approx))


def literal_ne(x, y):
    P = prime_view(x)
    return ~(x.num * y.denom % P == x.denom * y.num % P).all(dim=0)


def literal_clamp(x, min_val, max_val):
    result, device, shape = x, str(x.device), tuple(x.shape)
    for bound, below in [(min_val, True), (max_val, False)]:
        bound_mt = MT.from_fraction(int(bound * 10000), 10000, shape, device)
        view = result.to_float()
        mask = view < bound if below else view > bound
        if mask.any():
            mask_exp = mask.unsqueeze(0).expand_as(result.num)
            approx = torch.clamp(result._approx, min=bound) if below else torch.clamp(result._approx, max=bound)
            result = MT(torch.where(mask_exp, bound_mt.num, result.num),
                        torch.where(mask_exp, bound_mt.denom, result.denom), result.primes, approx)
    return result


def literal_max(x):
    flat_approx = x.to_float().flatten()
    idx = torch.argmax(flat_approx).item()
    flat_num = x.num.view(N_PRIMES, -1)[:, idx]
    flat_denom = x.denom.view(N_PRIMES, -1)[:, idx]
    return MT(flat_num.unsqueeze(1), flat_denom.unsqueeze(1), x.primes, flat_approx[idx].unsqueeze(0))


def literal_argmax(x):
    return torch.argmax(x.to_float().flatten()).item()


def main():
    torch.set_num_threads(1)
    print(f"threads: {torch.get_num_threads()}")
    n = 10**6
    gen = torch.Generator().manual_seed(0)
    x = MT.from_tensor(torch.randn(n, dtype=torch.float64, generator=gen), "cpu")
    y = MT.from_tensor(torch.randn(n, dtype=torch.float64, generator=gen), "cpu")
    condition = torch.rand(n, generator=gen) < 0.5
    print("10^6 float-captured elements (residues [20, 10^6]): fused vs literal torch formulation")
    cases = [
        ("abs", lambda: x.abs(), lambda: literal_abs(x)),
        ("relu", lambda: x.relu(), lambda: literal_relu(x)),
        ("where", lambda: x.where(condition, y), lambda: literal_where(x, condition, y)),
        ("ne", lambda: x.ne(y), lambda: literal_ne(x, y)),
        ("clamp(-0.5, 0.5)", lambda: x.clamp(-0.5, 0.5), lambda: literal_clamp(x, -0.5, 0.5)),
        ("max", lambda: x.max(), lambda: literal_max(x)),
        ("argmax", lambda: x.argmax(), lambda: literal_argmax(x)),
    ]
    for label, ours, literal in cases:
        row(label, best_of(ours, repeat=5), best_of(literal, repeat=3))

    print("pow(x, 20) of a one-element fraction, per call including the Python call")
    s = MT.from_fraction(7, 5, (), "cpu")
    f = Fraction(7, 5)
    assert s.pow(20).to_rational() == literal_pow(s, 20).to_rational() == ((f**20).numerator, (f**20).denominator)
    t_ours = best_of(lambda: s.pow(20), repeat=5, number=2000)
    row("pow(7/5, 20) vs literal chain", t_ours, best_of(lambda: literal_pow(s, 20), repeat=5, number=50), unit="us")
    row("pow(7/5, 20) vs fractions.Fraction", t_ours, best_of(lambda: f**20, repeat=5, number=2000), unit="us")
    c = MT.from_tensor(torch.tensor(0.1), "cpu")
    row("pow(float 0.1, 20) vs literal chain", best_of(lambda: c.pow(20), repeat=5, number=2000),
        best_of(lambda: literal_pow(c, 20), repeat=5, number=50), unit="us")


if __name__ == "__main__":
    main()
