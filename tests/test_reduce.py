"""Sums, dot products and matrix products: exact values and residues."""
import math
import random
from fractions import Fraction

import pytest
import torch

from support import BASIS, SCALE, captured, column, literal_matmul, residues
from varnix.orvo.kalvex import ModularTensor as MT


def value(t):
    return Fraction(*t.to_rational())


def from_fractions(values, device):
    """A 1-D tensor holding the given Fractions, unreduced as given."""
    num = torch.tensor([[f.numerator % p for f in values] for p in BASIS], dtype=torch.int64)
    den = torch.tensor([[f.denominator % p for f in values] for p in BASIS], dtype=torch.int64)
    approx = torch.tensor([float(f) for f in values], dtype=torch.float32)
    return MT(num.to(device), den.to(device), None, approx.to(device))


def assert_rebuilt(s, exact):
    """s is `exact` rebuilt as from_fraction builds it: shape (1,), residues of
    the reduced pair, and its approximation."""
    assert s.shape == (1,) and value(s) == exact
    assert column(s.num, (0,)) == residues(exact.numerator)
    assert column(s.denom, (0,)) == residues(exact.denominator)
    assert s._approx.dtype == torch.float32
    assert s._approx.item() == torch.tensor(float(exact), dtype=torch.float32).item()


def cross_sum(pairs, p=None):
    """(N, D) of the cross-multiplied sum of (n, d) pairs (the same in any
    order), reduced modulo p after each addition when p is given."""
    n, d = pairs[0]
    for a, b in pairs[1:]:
        n, d = (n * b + d * a, d * b) if p is None else ((n * b + d * a) % p, d * b % p)
    return n, d


class TestSum:
    @pytest.mark.parametrize("n", [2, 3, 10, 11, 12, 13, 64, 65, 100, 1000, 100_000])
    def test_float_captured_sums_and_dots_are_exact(self, n, device):
        gen = torch.Generator().manual_seed(n)
        x = torch.randn(n, dtype=torch.float64, generator=gen) * 100
        assert_rebuilt(MT.from_tensor(x, device).sum(), sum(map(captured, x.tolist())))
        a, b = x[:1000], torch.randn(min(n, 1000), dtype=torch.float64, generator=gen)
        d = MT.from_tensor(a, device).dot(MT.from_tensor(b, device))
        assert_rebuilt(d, sum(captured(v) * captured(w) for v, w in zip(a.tolist(), b.tolist())))

    def test_one_element_empty_and_zero_denominators(self, device):
        x = MT.from_fraction(6, 4, (1, 1), device)
        s = x.sum()  # one element is copied, not reduced
        assert s.shape == (1,) and column(s.num, (0,)) == residues(6) and column(s.denom, (0,)) == residues(4)
        assert s.num.data_ptr() != x.num.data_ptr()
        assert s._approx.shape == (1,) and s._approx.item() == 1.5
        assert MT(x.num, x.denom).sum()._approx is None
        d = MT.from_fraction(2, 4, (1,), device).dot(MT.from_fraction(3, 9, (1,), device))  # nor is one product
        assert column(d.num, (0,)) == residues(6) and column(d.denom, (0,)) == residues(36)
        assert d._approx.shape == (1,) and d._approx.item() == pytest.approx(1 / 6)

    def test_degenerate_and_mismatched_operands(self, device):
        empty = MT.zeros((0, 3), device).sum()
        assert empty.shape == (1,) and value(empty) == 0
        a = MT.from_tensor(torch.arange(1.0, 71.0, dtype=torch.float64), device)
        broken = a / MT.zeros((70,), device)  # zero denominators: no crash, no total
        for r in (broken.sum(), a.dot(broken)):
            assert r.shape == (1,) and torch.count_nonzero(r.denom) == 0
        assert value(a.dot(MT.ones((1, 70), device))) == sum(range(1, 71))  # ranks broadcast
        with pytest.raises(RuntimeError):
            a.dot(MT.zeros((69,), device))
        assert value(a.dot(2)) == 2 * sum(range(1, 71))


class TestSumReadBack:
    """The total is read back once; chunks that do not fit do not matter."""

    def test_chunks_that_do_not_fit(self, device):
        rng = random.Random(2)
        halves = [Fraction(rng.randrange(1, 2**40), rng.randrange(1, 2**20)) for _ in range(80)]
        values = halves + [-v for v in halves]
        rng.shuffle(values)
        # Each chunk of 64 has a reduced denominator far beyond the range.
        assert math.lcm(*(v.denominator for v in values[:64])).bit_length() > 700
        assert_rebuilt(from_fractions(values, device).sum(), Fraction(0))
        assert_rebuilt(from_fractions(values + [Fraction(-1, 3)], device).sum(), Fraction(-1, 3))
        for n in (3, 65, 200):  # harmonic sums: a total in range over unrelated denominators
            harmonic = [Fraction(1, k) for k in range(1, n + 1)]
            assert_rebuilt(from_fractions(harmonic, device).sum(), sum(harmonic))

    @pytest.mark.parametrize("bits, seed", [(260, 4), (290, 6)])
    def test_totals_beyond_reconstruction(self, bits, seed, device):
        # 260: chunks fit, the unreduced total does not, and the reduced total
        # (about 520 bits a half) is too long for rational reconstruction yet
        # short enough to read back.  290: neither a chunk nor the unreduced
        # total reads back, the reduced total (about 590 bits a half) does.
        rng = random.Random(seed)
        q1, q2 = rng.randrange(2 ** (bits - 1), 2**bits) | 1, rng.randrange(2 ** (bits - 1), 2**bits) | 1
        if bits == 260:
            values = [Fraction(1, q1)] + [Fraction(1, 2)] * 63 + [Fraction(-1, q2)] + [Fraction(3, 2)] * 63
        else:
            tail = [Fraction(rng.randrange(1, 256), 256) for _ in range(126)]
            values = [Fraction(1, q1)] + tail[:63] + [Fraction(1, q2)] + tail[63:]
        exact = sum(values)
        assert exact.numerator.bit_length() + exact.denominator.bit_length() > 620
        assert max(exact.numerator.bit_length(), exact.denominator.bit_length()) < 619
        assert_rebuilt(from_fractions(values, device).sum(), exact)

    @pytest.mark.parametrize("n", [2, 64, 200])
    def test_basis_primes_in_denominators(self, n, device):
        gen = torch.Generator().manual_seed(n)
        floats = [captured(v) for v in (torch.randn(n, dtype=torch.float64, generator=gen) * 10).tolist()]
        values = floats[:-1] + [Fraction(3, BASIS[5])]
        assert_rebuilt(from_fractions(values, device).sum(), sum(values))
        # The basis prime cancels from the total.
        values = floats[:-2] + [Fraction(1, BASIS[0]), Fraction(BASIS[0] - 1, BASIS[0])]
        assert_rebuilt(from_fractions(values, device).sum(), sum(values))
        xs, ys = [Fraction(1, BASIS[k % 5]) for k in range(n)], [Fraction(k, 3) for k in range(n)]
        assert_rebuilt(from_fractions(xs, device).dot(from_fractions(ys, device)), sum(a * b for a, b in zip(xs, ys)))

    @pytest.mark.parametrize("with_approx", [True, False])
    def test_total_that_does_not_fit_keeps_exact_residues(self, device, with_approx):
        gen = torch.Generator().manual_seed(1)
        x = MT.from_tensor(torch.rand(3000, dtype=torch.float64, generator=gen), device)
        y = x / (x + 1)  # 3000 distinct 53-bit denominators: no total in range
        if not with_approx:
            y = MT(y.num, y.denom)
        s = y.sum()
        want = [cross_sum(list(zip(ns, ds)), p) for ns, ds, p in zip(y.num.tolist(), y.denom.tolist(), BASIS)]
        assert [column(s.num, (0,)), column(s.denom, (0,))] == [list(half) for half in zip(*want)]
        assert s.shape == (1,) and s.primes is y.primes
        approx = y._approx if with_approx else y.to_float()
        assert torch.equal(s._approx, approx.sum().unsqueeze(0))

    def test_other_basis(self, device):
        other = [p for p in range(2**30 - 1, 2**30 - 2000, -2)
                 if all(p % k for k in range(3, 32769, 2))][:20]  # primes below 2^30
        values = [Fraction(k, 12) for k in range(-40, 60)]
        num = torch.tensor([[f.numerator % p for f in values] for p in other]).to(device)
        den = torch.tensor([[f.denominator % p for f in values] for p in other]).to(device)
        s = MT(num, den, torch.tensor(other)).sum()
        assert_rebuilt(s, sum(values))  # rebuilt in the standard basis
        assert s.primes.tolist() == BASIS
        # A zero denominator among them: nothing can be rebuilt, and nothing
        # mixes the two bases.
        broken = MT(num, den.index_fill(1, torch.tensor([70], device=device), 0), torch.tensor(other)).sum()
        assert broken.primes.tolist() == other and torch.count_nonzero(broken.denom) == 0


class TestSumDim:
    LENGTHS = [(3, 1), (5, 2), (4, 31), (2, 32), (8, 33), (9, 64), (16, 100), (3, 200), (1, 1000)]

    @pytest.mark.parametrize("shape, dim", [((2, 3, 4), d) for d in (0, 1, 2, -1, -3)]
                             + [((rows, k), d) for rows, k in LENGTHS for d in (1, 0)])
    def test_sums_along_an_axis_keep_the_unreduced_sum(self, shape, dim, device):
        # Every axis of captured floats; rows of every length the fold kernel
        # distinguishes, of unrelated fractions without an approximation.
        if len(shape) == 3:
            floats = torch.randn(shape, dtype=torch.float64, generator=torch.Generator().manual_seed(3))
            x, pairs = MT.from_tensor(floats, device), [(int(v * SCALE), SCALE) for v in floats.flatten().tolist()]
        else:
            rng = random.Random(str(shape))
            values = [Fraction(rng.randrange(-99, 99), rng.randrange(1, 12)) for _ in range(math.prod(shape))]
            flat, pairs = from_fractions(values, device), [(f.numerator, f.denominator) for f in values]
            x = MT(flat.num.reshape(20, *shape), flat.denom.reshape(20, *shape))
        r = x._sum_dim(dim)
        rows = torch.arange(math.prod(shape)).reshape(shape).movedim(dim, -1)
        assert r.shape == rows.shape[:-1]
        num, den = r.num.reshape(20, -1), r.denom.reshape(20, -1)
        for i, row in enumerate(rows.reshape(-1, shape[dim]).tolist()):
            n, d = cross_sum([pairs[j] for j in row])
            assert column(num, (i,)) == residues(n) and column(den, (i,)) == residues(d)
        assert r._approx is None if x._approx is None else torch.allclose(r._approx, x._approx.sum(dim), atol=1e-5)

    def test_dim_errors(self, device):
        x = MT.from_fraction(1, 3, (2, 3), device)
        assert torch.equal(x.sum(dim=1).num, x._sum_dim(1).num)
        for dim in (2, -3, 5):
            with pytest.raises(ValueError, match=f"dim {dim} is out of range"):
                x._sum_dim(dim)
        for bad in [True, 1.0, "1"]:
            with pytest.raises(TypeError, match="Argument 'dim' has incorrect type"):
                x.sum(dim=bad)


class TestMatmul:
    @pytest.mark.parametrize("m, k, n", [(2, 3, 2), (3, 1, 4), (4, 5, 3), (5, 17, 6)])
    def test_residues_and_values(self, m, k, n, device):
        gen = torch.Generator().manual_seed(m * k * n)
        x = torch.randn(m, k, dtype=torch.float64, generator=gen)
        y = torch.randn(k, n, dtype=torch.float64, generator=gen)
        a, b = MT.from_tensor(x, device), MT.from_tensor(y, device)
        c = a.matmul(b)
        assert c.shape == (m, n)
        num, den = literal_matmul(a, b)
        assert torch.equal(c.num, num) and torch.equal(c.denom, den)
        for i in range(m):
            for j in range(n):
                exact = sum(captured(x[i, t].item()) * captured(y[t, j].item()) for t in range(k))
                assert value(MT(c.num[:, i, j], c.denom[:, i, j])) == exact
        assert torch.allclose(c._approx, x.float().to(device) @ y.float().to(device))
        assert a.matmul(MT(b.num, b.denom))._approx is None  # the approximation needs both

    def test_shapes_errors_and_empty_inner_length(self, device):
        a = MT.zeros((2, 3), device)
        with pytest.raises(ValueError, match=r"^Shape mismatch: torch.Size\(\[2, 3\]\) vs torch.Size\(\[2, 3\]\)$"):
            a.matmul(a)
        with pytest.raises(ValueError, match="^matmul requires 2D tensors$"):
            a.matmul(MT.zeros((3,), device))
        c = MT.zeros((2, 0), device).matmul(MT.zeros((0, 3), device))
        assert c.shape == (2, 3)
        assert torch.count_nonzero(c.num) == 0 and bool((c.denom == 1).all())
