"""Read-back speed: simplify, to_rational and to_float against the plain host
loops they replace (per-prime host reads, CRT in Python ints, gcd).

Run with /usr/bin/python3 bench/bench_readback.py.  Prints ratios from one run.
"""
import math
import os
import random
import sys

# Keep glibc from returning freed GMP and tensor buffers to the OS between
# calls, so timings measure the work and not page faults.  Set before start-up.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import per_call, reuse_freed_memory  # noqa: E402

reuse_freed_memory()

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402

from varnix.orvo.kalvex import N_PRIMES, ModularTensor  # noqa: E402


# --- the plain host loops ------------------------------------------------------

def crt_reconstruct(residues, primes):
    m = math.prod(primes)
    result = 0
    for r, p in zip(residues, primes):
        mi = m // p
        result += r * mi * pow(mi, -1, p)
    return result % m


def loop_to_rational(t):
    num_res = [int(t.num.view(N_PRIMES)[j].item()) for j in range(N_PRIMES)]
    den_res = [int(t.denom.view(N_PRIMES)[j].item()) for j in range(N_PRIMES)]
    primes = [int(p) for p in t.primes.cpu().tolist()]
    num, den = crt_reconstruct(num_res, primes), crt_reconstruct(den_res, primes)
    m = math.prod(primes)
    num = num - m if num > m // 2 else num
    den = den - m if den > m // 2 else den
    g = math.gcd(abs(num), abs(den))
    if g > 1:
        num, den = num // g, den // g
    return (-num, -den) if den < 0 else (num, den)


def loop_simplify(t):
    num, den = loop_to_rational(t)
    g = math.gcd(abs(num), abs(den))
    return ModularTensor.from_fraction(num // g, den // g, tuple(t.shape), str(t.device))


def loop_to_float(t):
    shape = tuple(t.shape) or (1,)
    result = torch.zeros(shape, device=t.device, dtype=torch.float32)
    flat = result.view(-1)
    primes = [int(p) for p in t.primes.cpu().tolist()]
    m = math.prod(primes)
    mis = [m // p for p in primes]
    yis = [pow(mi, -1, p) for mi, p in zip(mis, primes)]
    for i in range(flat.numel()):
        nr = [int(t.num[j].view(-1)[i].item()) for j in range(N_PRIMES)]
        dr = [int(t.denom[j].view(-1)[i].item()) for j in range(N_PRIMES)]
        num = sum(r * mi * yi for r, mi, yi in zip(nr, mis, yis)) % m
        den = sum(r * mi * yi for r, mi, yi in zip(dr, mis, yis)) % m
        num = num - m if num > m // 2 else num
        den = den - m if den > m // 2 else den
        flat[i] = 0.0 if den == 0 else float(num) / float(den)
    return result.view(shape)


# --- inputs ----------------------------------------------------------------------

def unreduced_sum_tensor(count, columns, seed):
    """Residues of unreduced sums of `count` float-captured values per column."""
    rng = random.Random(seed)
    primes = ModularTensor.from_int(0, (), "cpu").primes.tolist()
    num = torch.empty(N_PRIMES, columns, dtype=torch.int64)
    den = torch.empty(N_PRIMES, columns, dtype=torch.int64)
    for c in range(columns):
        values = [rng.randrange(-2**62, 2**62) for _ in range(count)]
        for j, p in enumerate(primes):
            a, b, d = values[0] % p, 2**52 % p, 2**52 % p
            for v in values[1:]:
                a, b = (a * d + (v % p) * b) % p, (b * d) % p
            num[j, c], den[j, c] = a, b
    return ModularTensor(num, den)


def main():
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")

    one = ModularTensor.from_fraction(6 * 10**30 + 1, -4 * 10**20, (1,), "cpu")
    one = ModularTensor(one.num, one.denom)
    scalar_agrees = one.simplify().to_rational() == loop_simplify(one).to_rational() == loop_to_rational(one)
    ours, loop = per_call(one.simplify), per_call(lambda: loop_simplify(one))
    print(f"simplify, one element (1,), cpu:      {ours * 1e6:8.2f} us/call   host loop {loop * 1e6:8.2f} us   "
          f"speed-up x{loop / ours:.1f}   (target <= 15 us)")
    ours, loop = per_call(one.to_rational), per_call(lambda: loop_to_rational(one))
    print(f"to_rational, one element (1,), cpu:   {ours * 1e6:8.2f} us/call   host loop {loop * 1e6:8.2f} us   "
          f"speed-up x{loop / ours:.1f}")

    n, sample = 100_000, 200
    x = torch.randn(n, generator=torch.Generator().manual_seed(0)) * 100
    captured = ModularTensor.from_tensor(x, "cpu")
    plain = ModularTensor(captured.num, captured.denom)
    head = ModularTensor(captured.num[:, :sample], captured.denom[:, :sample])
    float_agrees = torch.equal(plain.to_float()[:sample], loop_to_float(head))
    ours = per_call(plain.to_float, min_time=1.0) / n
    loop = per_call(lambda: loop_to_float(head), min_time=1.0) / sample
    print(f"to_float, {n} elements, no approx:  {ours * 1e6:8.3f} us/element host loop {loop * 1e6:8.2f} us "
          f"(timed on {sample}, scaled)   speed-up x{loop / ours:.0f}   (target <= 2 us)")

    grown = unreduced_sum_tensor(12, 2000, seed=1)
    ours = per_call(grown.to_float, min_time=1.0) / 2000
    print(f"to_float, 2000 sums of 12 captured values (rational reconstruction per element): "
          f"{ours * 1e6:8.2f} us/element")
    print(f"same results as the host loop: simplify/to_rational {scalar_agrees}, "
          f"to_float on the first {sample} elements {float_agrees}")


if __name__ == "__main__":
    main()
