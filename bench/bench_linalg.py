"""Small linear algebra: det 3x3/4x4/5x5, inv 2x2 and solve 4x4 of float-captured
matrices, against the step-by-step chain written with the module's operators
and simplify(), and against fractions.Fraction elimination.

Run with /usr/bin/python3 bench/bench_linalg.py.  Prints ratios from one run
(one thread, times per call including the Python call).
"""
import os
import sys
import time
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import best_of, reuse_freed_memory  # noqa: E402

reuse_freed_memory()

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import torch  # noqa: E402

from varnix.orvo.kalvex import N_PRIMES, ModularTensor as MT  # noqa: E402

TARGETS_US = {"det 5x5": 30.0, "solve 4x4": 50.0, "inv 2x2": 15.0}


def per_call(fn, seconds=0.05):
    """Best seconds per call, in loops of about `seconds` each."""
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    return best_of(fn, repeat=5, number=max(1, int(seconds / once)))


# --- the chain, one operation at a time -------------------------------------------

def chain_det(m):
    n = m.shape[0]

    def elem(i, j):
        return MT(m.num[:, i:i + 1, j:j + 1].reshape(N_PRIMES, 1), m.denom[:, i:i + 1, j:j + 1].reshape(N_PRIMES, 1),
                  m.primes)

    if n == 1:
        return elem(0, 0)
    if n == 2:
        a, b, c, d = elem(0, 0), elem(0, 1), elem(1, 0), elem(1, 1)
        return (a * d - b * c).simplify()
    if n == 3:
        a, b, c = elem(0, 0), elem(0, 1), elem(0, 2)
        d, e, f = elem(1, 0), elem(1, 1), elem(1, 2)
        g, h, i = elem(2, 0), elem(2, 1), elem(2, 2)
        return (a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)).simplify()
    result = MT.from_int(0, (1,), str(m.device))
    for j in range(n):
        minor = MT(torch.cat([m.num[:, 1:, :j], m.num[:, 1:, j + 1:]], dim=2),
                   torch.cat([m.denom[:, 1:, :j], m.denom[:, 1:, j + 1:]], dim=2), m.primes)
        cofactor = elem(0, j) * chain_det(minor)
        result = (result + cofactor) if j % 2 == 0 else (result - cofactor)
        result = result.simplify()
    return result


def chain_inv2(m):
    det = chain_det(m)

    def elem(i, j):
        return MT(m.num[:, i:i + 1, j:j + 1], m.denom[:, i:i + 1, j:j + 1], m.primes)

    a, b, c, d = elem(0, 0), elem(0, 1), elem(1, 0), elem(1, 1)
    adj_num = torch.cat([torch.cat([d.num, (-b).num], dim=2), torch.cat([(-c).num, a.num], dim=2)], dim=1)
    adj_den = torch.cat([torch.cat([d.denom, b.denom], dim=2), torch.cat([c.denom, a.denom], dim=2)], dim=1)
    det_broadcast = MT(det.num.reshape(N_PRIMES, 1, 1), det.denom.reshape(N_PRIMES, 1, 1), det.primes)
    return (MT(adj_num, adj_den, m.primes) / det_broadcast).simplify()


def chain_solve(a, b):
    det_a = chain_det(a)
    parts = []
    for i in range(a.shape[0]):
        num, den = a.num.clone(), a.denom.clone()
        num[:, :, i] = b.num
        den[:, :, i] = b.denom
        parts.append((chain_det(MT(num, den, a.primes)) / det_a).simplify())
    return MT(torch.stack([x.num.squeeze() for x in parts], dim=1),
              torch.stack([x.denom.squeeze() for x in parts], dim=1), a.primes)


# --- fractions.Fraction -----------------------------------------------------------

def fraction_det(rows):
    a = [row[:] for row in rows]
    n, sign, prev = len(a), 1, Fraction(1)
    for k in range(n - 1):
        if a[k][k] == 0:
            swap = next((r for r in range(k + 1, n) if a[r][k] != 0), None)
            if swap is None:
                return Fraction(0)
            a[k], a[swap] = a[swap], a[k]
            sign = -sign
        for i in range(k + 1, n):
            for j in range(k + 1, n):
                a[i][j] = (a[i][j] * a[k][k] - a[i][k] * a[k][j]) / prev
        prev = a[k][k]
    return sign * a[n - 1][n - 1]


def fraction_inv2(rows):
    d = fraction_det(rows)
    return [[rows[1][1] / d, -rows[0][1] / d], [-rows[1][0] / d, rows[0][0] / d]]


def fraction_solve(rows, rhs):
    """Gaussian elimination with back substitution on Fractions."""
    n = len(rows)
    a = [row[:] + [r] for row, r in zip(rows, rhs)]
    for k in range(n):
        pivot = next(r for r in range(k, n) if a[r][k] != 0)
        a[k], a[pivot] = a[pivot], a[k]
        for i in range(k + 1, n):
            f = a[i][k] / a[k][k]
            for j in range(k, n + 1):
                a[i][j] -= f * a[k][j]
    x = [Fraction(0)] * n
    for i in range(n - 1, -1, -1):
        x[i] = (a[i][n] - sum(a[i][j] * x[j] for j in range(i + 1, n))) / a[i][i]
    return x


# --- helpers -----------------------------------------------------------------------

def captured(v):
    return Fraction(int(v * 2**52), 2**52)


def value(t, *index):
    sl = (slice(None),) + tuple(slice(i, i + 1) for i in index)
    return Fraction(*MT(t.num[sl].reshape(N_PRIMES), t.denom[sl].reshape(N_PRIMES)).to_rational())


def report(label, ours, chain, fraction, agrees, chain_exact):
    target = TARGETS_US.get(label)
    mark = "" if target is None else f"  (target <= {target:.0f} us: {'met' if ours * 1e6 <= target else 'MISSED'})"
    print(f"  {label:<10} ours {ours * 1e6:8.2f} us | chain {chain * 1e6:9.1f} us ({chain / ours:6.0f}x) "
          f"| Fraction {fraction * 1e6:7.1f} us ({fraction / ours:5.1f}x) | exact: {agrees}, "
          f"chain exact: {chain_exact}{mark}")


def main():
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} thread; float64 entries captured exactly, cpu")
    gen = torch.Generator().manual_seed(2024)

    for n in (3, 4, 5):
        x = (torch.randn(n, n, dtype=torch.float64, generator=gen) * 300).clamp(-2047, 2047)
        a = MT.from_tensor(x, "cpu")
        rows = [[captured(v) for v in row] for row in x.tolist()]
        expected = fraction_det(rows)
        agrees = value(a.det()) == expected
        chain_exact = value(chain_det(a)) == expected
        report(f"det {n}x{n}", per_call(a.det), per_call(lambda: chain_det(a), 0.1),
               per_call(lambda: fraction_det(rows)), agrees, chain_exact)

    x = (torch.randn(2, 2, dtype=torch.float64, generator=gen) * 300).clamp(-2047, 2047)
    a = MT.from_tensor(x, "cpu")
    rows = [[captured(v) for v in row] for row in x.tolist()]
    expected = fraction_inv2(rows)
    agrees = all(value(a.inv(), i, j) == expected[i][j] for i in range(2) for j in range(2))
    chain_exact = all(value(chain_inv2(a), i, j) == expected[i][j] for i in range(2) for j in range(2))
    report("inv 2x2", per_call(a.inv), per_call(lambda: chain_inv2(a)), per_call(lambda: fraction_inv2(rows)),
           agrees, chain_exact)

    x = (torch.randn(4, 4, dtype=torch.float64, generator=gen) * 300).clamp(-2047, 2047)
    y = (torch.randn(4, dtype=torch.float64, generator=gen) * 300).clamp(-2047, 2047)
    a, b = MT.from_tensor(x, "cpu"), MT.from_tensor(y, "cpu")
    rows, rhs = [[captured(v) for v in row] for row in x.tolist()], [captured(v) for v in y.tolist()]
    expected = fraction_solve(rows, rhs)
    agrees = all(value(a.solve(b), i) == expected[i] for i in range(4))
    chain_exact = all(value(chain_solve(a, b), i) == expected[i] for i in range(4))
    report("solve 4x4", per_call(lambda: a.solve(b)), per_call(lambda: chain_solve(a, b), 0.1),
           per_call(lambda: fraction_solve(rows, rhs)), agrees, chain_exact)


if __name__ == "__main__":
    main()
