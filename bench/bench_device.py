"""The main operations on one device (default: "cuda" when available), each
timed with the device synchronised, against two references: the time to
read the operands' residues and write the result's once at the device's
memory bandwidth (measured here by a torch copy), and the literal torch
formulation where there is one.

    /usr/bin/python3 bench/bench_device.py [device] [elements]

A "x" figure above 1 means faster than the reference; element-wise work
near 1.0x against the bandwidth runs at memory speed.
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import reuse_freed_memory, row  # noqa: E402
from support import literal_matmul  # noqa: E402

reuse_freed_memory()

import torch  # noqa: E402

from varnix.orvo.kalvex import N_PRIMES, ModularTensor as MT  # noqa: E402

RESIDUE = 8 * N_PRIMES  # bytes of residues per element of one of num, denom
APPROX = 4  # bytes of the float32 approximation per element


def timer(device):
    """Best seconds per call of fn on `device`, the device synchronised around each timing."""
    sync = torch.cuda.synchronize if device.type == "cuda" else (lambda: None)

    def best(fn, repeat=5):
        fn()
        sync()
        result = float("inf")
        for _ in range(repeat):
            start = time.perf_counter()
            fn()
            sync()
            result = min(result, time.perf_counter() - start)
        return result

    return best


def bandwidth(device, best, nbytes):
    """Bytes per second moved by a device copy of nbytes (read plus written)."""
    src = torch.empty(nbytes // 8, dtype=torch.int64, device=device)
    dst = torch.empty_like(src)
    return 2 * nbytes / best(lambda: dst.copy_(src))


def literal_add(x, y):
    p = x.primes.view(-1, 1)
    return (x.num * y.denom % p + x.denom * y.num % p) % p, x.denom * y.denom % p


def literal_mul(x, y):
    p = x.primes.view(-1, 1)
    return x.num * y.num % p, x.denom * y.denom % p


def literal_eq(x, y):
    p = x.primes.view(-1, 1)
    return (x.num * y.denom % p == x.denom * y.num % p).all(dim=0)


def main():
    device = torch.device(sys.argv[1] if len(sys.argv) > 1 else "cuda" if torch.cuda.is_available() else "cpu")
    n = int(float(sys.argv[2])) if len(sys.argv) > 2 else 4 * 10**6 if device.type == "cuda" else 10**6
    best = timer(device)
    name = torch.cuda.get_device_name(device) if device.type == "cuda" else f"cpu, {torch.get_num_threads()} threads"
    rate = bandwidth(device, best, RESIDUE * n)
    print(f"device: {device} ({name}); copy bandwidth {rate / 1e9:.0f} GB/s")

    gen = torch.Generator().manual_seed(0)
    values = torch.randn(n, dtype=torch.float64, generator=gen).to(device)
    x = MT.from_tensor(values, str(device))
    y = MT.from_tensor(torch.randn(n, dtype=torch.float64, generator=gen).to(device), str(device))
    condition = (torch.rand(n, generator=gen) < 0.5).to(device)

    def memory(read, written, extra=0):
        """Seconds to move `read` and `written` residue pairs of n elements, plus extra bytes per element."""
        return ((read + written) * 2 * RESIDUE + extra) * n / rate

    print(f"{n:.0e} float-captured elements (residues [{N_PRIMES}, {n}]) against the memory-bound time")
    cases = [
        ("from_tensor (float64 in)", lambda: MT.from_tensor(values, str(device)), memory(0, 1, 8 + APPROX)),
        ("x + y", lambda: x + y, memory(2, 1, 3 * APPROX)),
        ("x * y", lambda: x * y, memory(2, 1, 3 * APPROX)),
        ("x / y", lambda: x / y, memory(2, 1, 3 * APPROX)),
        ("-x", lambda: -x, memory(1, 1, 2 * APPROX)),
        ("x == y", lambda: x == y, memory(2, 0, 1)),
        ("x.ne(y)", lambda: x.ne(y), memory(2, 0, 1)),
        ("x.abs()", lambda: x.abs(), memory(1, 1, 2 * APPROX)),
        ("x.relu()", lambda: x.relu(), memory(1, 1, 2 * APPROX)),
        ("x.where(c, y)", lambda: x.where(condition, y), memory(2, 1, 3 * APPROX + 1)),
        ("x.clamp(-0.5, 0.5)", lambda: x.clamp(-0.5, 0.5), memory(1, 1, 2 * APPROX)),
        ("x.sum()", lambda: x.sum(), memory(1, 0)),
        ("x.dot(y)", lambda: x.dot(y), memory(2, 0)),
    ]
    for label, ours, reference in cases:
        row(label, best(ours), reference)

    print("against the literal torch formulation")
    literal = [
        ("x + y", lambda: x + y, lambda: literal_add(x, y)),
        ("x * y", lambda: x * y, lambda: literal_mul(x, y)),
        ("x == y", lambda: x == y, lambda: literal_eq(x, y)),
    ]
    for label, ours, reference in literal:
        row(label, best(ours), best(reference))

    side = 64 if device.type == "cuda" else 32
    a = MT.from_tensor(torch.randn(side, side, dtype=torch.float64, generator=gen).to(device), str(device))
    b = MT.from_tensor(torch.randn(side, side, dtype=torch.float64, generator=gen).to(device), str(device))
    print(f"other work ({side}x{side} matrices, {n:.0e}-element vectors)")
    row(f"matmul {side}x{side} vs the literal torch formulation", best(lambda: a.matmul(b), repeat=3),
        best(lambda: literal_matmul(a, b), repeat=3))
    row("x.sort() vs torch.sort of the approximation", best(lambda: x.sort(), repeat=3),
        best(lambda: torch.sort(x._approx)))
    row("x.cumsum() vs the memory-bound time", best(lambda: x.cumsum(), repeat=3), memory(1, 1, 2 * APPROX))


if __name__ == "__main__":
    main()
