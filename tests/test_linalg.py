"""Trace, determinant, inverse and solve: values against fractions.Fraction,
residues against Python's % or the chain of one-element operations written
out here with the module's operators and simplify()."""
import itertools
import math
import random
from fractions import Fraction

import pytest
import torch

from support import BASIS, captured, residues
from varnix.orvo.kalvex import ModularTensor as MT

P = len(BASIS)


def tensor(rows, device):
    """A matrix (list of rows) or vector of (num, den) pairs or Fractions, stored unreduced as given."""
    shape = (len(rows), len(rows[0])) if isinstance(rows[0], list) else (len(rows),)
    flat = [(f.numerator, f.denominator) if isinstance(f, Fraction) else f
            for f in (sum(rows, []) if len(shape) == 2 else rows)]
    num = torch.tensor([[a % p for a, _ in flat] for p in BASIS], dtype=torch.int64).reshape(P, *shape)
    den = torch.tensor([[b % p for _, b in flat] for p in BASIS], dtype=torch.int64).reshape(P, *shape)
    return MT(num.to(device), den.to(device))


def floats(n, seed, scale=10.0, cols=None):
    """Random float64 values inside the exact capture range |v| < 2048."""
    gen = torch.Generator().manual_seed(seed)
    return (torch.randn(n, cols or n, dtype=torch.float64, generator=gen) * scale).clamp(-2047.5, 2047.5)


def value(t, *index):
    """The fraction t, or its element at `index` (residues as stored), reads back as."""
    if index:
        sl = (slice(None),) + tuple(slice(i, i + 1) for i in index)
        t = MT(t.num[sl].reshape(P, 1), t.denom[sl].reshape(P, 1))
    return Fraction(*t.to_rational())


def stored(t, *index):
    """(numerator residues, denominator residues) of one element."""
    sl = (slice(None),) + tuple(index)
    return t.num[sl].tolist(), t.denom[sl].tolist()


def fraction_det(m):
    """Leibniz's formula on Fractions: a sum over the permutations (n <= 5)."""
    n, total = len(m), Fraction(0)
    for p in itertools.permutations(range(n)):
        inversions = sum(p[i] > p[j] for i in range(n) for j in range(i + 1, n))
        total += (-1) ** inversions * math.prod(m[i][p[i]] for i in range(n))
    return total


def chain_det(m):
    """det as the closed forms and the cofactor expansion compute it, every
    step an operator of the module and each accumulation simplified."""
    n = m.shape[0]

    def elem(i, j):
        return MT(m.num[:, i:i + 1, j:j + 1].reshape(P, 1), m.denom[:, i:i + 1, j:j + 1].reshape(P, 1), m.primes)

    if n == 1:
        return elem(0, 0)
    if n == 2:
        return (elem(0, 0) * elem(1, 1) - elem(0, 1) * elem(1, 0)).simplify()
    if n == 3:
        a, b, c, d, e, f, g, h, i = (elem(k // 3, k % 3) for k in range(9))
        return (a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)).simplify()
    result = MT.from_int(0, (1,), str(m.device))  # the sums start from an exact zero of shape [1]
    for j in range(n):
        minor = MT(torch.cat([m.num[:, 1:, :j], m.num[:, 1:, j + 1:]], dim=2),
                   torch.cat([m.denom[:, 1:, :j], m.denom[:, 1:, j + 1:]], dim=2), m.primes)
        cofactor = elem(0, j) * chain_det(minor)
        result = (result + cofactor if j % 2 == 0 else result - cofactor).simplify()
    return result


def assert_same_residues(actual, expected):
    def parts(t):
        return t.shape, t.num.tolist(), t.denom.tolist(), None if t._approx is None else t._approx.tolist()
    assert parts(actual) == parts(expected)


def small_integers(n, seed, singular=False):
    rng = random.Random(seed)
    rows = [[(rng.randrange(-9, 10), rng.choice([1, 1, 2, 3, -4])) for _ in range(n)] for _ in range(n)]
    if singular and n >= 2:
        rows[-1] = [(2 * a, b) for a, b in rows[0]]  # a row proportional to the first
    return rows


class TestChecks:
    @pytest.mark.parametrize("shape", [(2, 3), (4,), (2, 2, 2), ()])
    def test_non_square_is_refused_by_every_method(self, shape, device):
        t = MT.zeros(shape, device)
        for call, message in [(t.trace, "trace requires square matrix"), (t.det, "det requires square matrix"),
                              (t.inv, "inv requires square matrix"),
                              (lambda: t.solve(MT.zeros((2,), device)), "solve requires square matrix A")]:
            with pytest.raises(ValueError) as err:
                call()
            assert str(err.value) == message

    def test_size_limits_answer_before_any_work(self, device):
        det, inv, solve = ("det only supports matrices up to 5x5", "inv only supports matrices up to 2x2 currently",
                           "solve only supports systems up to 4x4")
        six = MT.zeros((6, 6), device)
        cases = [(six.det, det), (six.inv, det), (lambda: MT.ones((5, 5), device).solve(MT.ones((5,), device)), solve)]
        cases += [(MT.ones((n, n), device).inv, inv) for n in (0, 3, 4, 5)]
        # residues any evaluation would refuse, and no right-hand side: the size test answers first
        cases += [(lambda: MT(torch.zeros(P, 5, 5), torch.zeros(P, 5, 5)).solve(None), solve),
                  (lambda: MT(torch.zeros(P, 7, 7), torch.zeros(P, 7, 7)).det(), det)]
        for call, message in cases:
            with pytest.raises(NotImplementedError) as err:
                call()
            assert str(err.value) == message
        assert value(MT.ones((7, 7), device).trace()) == 7  # the trace has no size limit

    def test_malformed_residues_are_refused(self, device):
        floats_ = MT(torch.zeros(P, 2, 2, device=device), torch.ones(P, 2, 2, device=device))
        for call in (floats_.det, floats_.inv, floats_.trace, lambda: floats_.solve(MT.ones((2,), device))):
            with pytest.raises(TypeError, match="int64"):
                call()
        few_primes = MT(torch.zeros(3, 2, 2, dtype=torch.int64, device=device),
                        torch.ones(3, 2, 2, dtype=torch.int64, device=device), torch.tensor([5, 7, 11]))
        with pytest.raises(ValueError, match="20 primes"):
            few_primes.det()

    def test_empty_matrix(self, device):
        empty = MT.zeros((0, 0), device)
        d = empty.det()
        assert d.shape == () and d.num.tolist() == [0] * P and d.denom.tolist() == [1] * P
        assert d._approx.dtype == torch.float32 and d._approx.item() == 0.0
        for call in (empty.trace, lambda: empty.solve(None)):
            with pytest.raises(RuntimeError, match="stack expects a non-empty TensorList"):
                call()

    def test_results_live_on_the_matrix_device(self, device):
        a = MT.from_tensor(floats(2, 3), device)
        for result in (a.det(), a.inv(), a.trace(), a.solve(MT.from_tensor(floats(2, 4, cols=1)[:, 0], device)),
                       MT.zeros((0, 0), device).det()):
            assert result.num.device.type == torch.device(device).type
            assert result.denom.device == result.num.device and result.primes.device == result.num.device


class TestTraceAndDeterminant:
    @pytest.mark.parametrize("method", ["trace", "det", "inv"])
    def test_one_element_is_the_entry_unreduced(self, method, device):
        for n, d in [(6, -4), (0, 1)]:
            r = getattr(tensor([[(n, d)]], device), method)()
            assert r._approx is None
            if method == "inv":  # its reciprocal; of a zero, no error but a zero denominator
                assert r.shape == (1, 1) and stored(r, 0, 0) == (residues(d), residues(n))
            else:
                assert r.shape == (1,) and stored(r, 0) == (residues(n), residues(d))

    @pytest.mark.parametrize("n", [2, 3, 4, 5])
    def test_float_matrices_are_exact(self, n, device):
        for seed, scale in enumerate([1.0, 50.0, 2000.0]):
            x = floats(n, 100 * n + seed, scale=scale)
            a, values = MT.from_tensor(x, device), [[captured(v) for v in row] for row in x.tolist()]
            trace = sum(values[i][i] for i in range(n))
            assert stored(a.trace(), 0) == (residues(trace.numerator), residues(trace.denominator))
            d, expected = a.det(), fraction_det(values)
            assert d.shape == (1,) and stored(d, 0) == (residues(expected.numerator), residues(expected.denominator))
            assert d._approx.item() == torch.tensor(float(expected), dtype=torch.float32).item()
            # a transposed (strided) view of the residues is read in place: det(A^T) = det(A)
            assert_same_residues(MT(a.num.transpose(1, 2), a.denom.transpose(1, 2)).det(), d)

    @pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
    @pytest.mark.parametrize("case", ["regular", "singular", "zero denominator"])
    def test_residues_are_the_chains(self, n, case, device):
        m = min(1, n - 1)
        positions = [(0, 0), (n - 1, m), (m, n - 1)] if case == "zero denominator" else [None, None]
        for seed, position in enumerate(positions):
            rows = small_integers(n, 10 * n + seed, case == "singular")
            if position:
                rows[position[0]][position[1]] = (5, 0)  # what a division by an exact zero stores
            a = tensor(rows, device)
            d = a.det()
            assert_same_residues(d, chain_det(a))
            if position:
                assert d.denom.count_nonzero() == 0

    def test_denominators_divisible_by_a_prime(self, device):
        rows = [[Fraction(1, BASIS[3]), Fraction(2)], [Fraction(3), Fraction(5, 7)]]
        a = tensor(rows, device)
        d = a.det()
        assert value(d) == fraction_det(rows)
        assert_same_residues(d, chain_det(a))

    @pytest.mark.parametrize("n", [2, 3, 4, 5])
    def test_entries_whose_stored_pairs_overflow(self, n, device):
        # Row sums of 16 floats: every entry carries the denominator 2^832,
        # beyond the residue range, and is read back by reconstruction.
        x = floats(n * n * 16, n, cols=1).reshape(n, n, 16)
        a = MT.from_tensor(x, device).sum(dim=2)
        d = a.det()
        assert value(d) == fraction_det([[sum(captured(v) for v in cell) for cell in row] for row in x.tolist()])
        assert_same_residues(d, chain_det(a))

    @pytest.mark.parametrize("n, bits", [(3, 40), (5, 60)])
    def test_exact_beyond_the_range(self, n, bits, device):
        # 3 x 3 with 40-bit denominators: the chain's unreduced pair outgrows
        # the 620-bit residue range while the reduced determinant fits; 5 x 5
        # with 60-bit ones: the reduced determinant itself is beyond it.
        rng = random.Random(n)
        rows = [[Fraction(rng.randrange(-2**60, 2**60), rng.randrange(2**(bits - 1), 2**bits) | 1) for _ in range(n)]
                for _ in range(n)]
        a, expected = tensor(rows, device), fraction_det(rows)
        if n == 3:  # the chain's own result cannot be read, and says so
            with pytest.raises(OverflowError, match="exceeds the exact range"):
                value(chain_det(a))
        else:
            assert expected.denominator.bit_length() > 620
        assert stored(a.det(), 0) == (residues(expected.numerator), residues(expected.denominator))


class TestInverseAndSolve:
    @pytest.mark.parametrize("case", ["regular", "singular", "zero denominator", "floats"])
    def test_inverse_stores_the_adjugate_over_the_chains_determinant(self, case, device):
        for seed in range(2):
            if case == "floats":  # entries k * 2^52 / 2^52, kept unreduced in the quotients
                x = floats(2, 9 + seed, scale=100)
                a = MT.from_tensor(x, device)
            else:
                rows = small_integers(2, seed, case == "singular")
                if case == "zero denominator":
                    rows[0][1] = (3, 0)
                a = tensor(rows, device)
            det = chain_det(a)
            dn, dd = det.num.reshape(-1).tolist(), det.denom.reshape(-1).tolist()
            inv = a.inv()
            assert inv.shape == (2, 2) and inv._approx is None
            for (i, j), (r, c, sign) in {(0, 0): (1, 1, 1), (0, 1): (0, 1, -1), (1, 0): (1, 0, -1),
                                         (1, 1): (0, 0, 1)}.items():
                en, ed = stored(a, r, c)
                assert stored(inv, i, j) == ([(sign * x * y) % p for x, y, p in zip(en, dd, BASIS)],
                                             [(x * y) % p for x, y, p in zip(ed, dn, BASIS)])
            if case == "singular":  # det is exactly 0: every denominator is
                assert inv.denom.count_nonzero() == 0
            if case == "floats":  # and the quotients read back as the exact inverse
                (e, f), (g, h) = [[captured(v) for v in row] for row in x.tolist()]
                d = e * h - f * g
                assert [value(inv, k // 2, k % 2) for k in range(4)] == [h / d, -f / d, -g / d, e / d]

    def test_overridden_determinant_is_used(self, device):
        class Two(MT):
            def det(self):
                return MT.from_int(2, (1,), str(self.device))

        ones = MT.ones((2, 2), device)
        inv = Two(ones.num, ones.denom).inv()
        assert stored(inv, 0, 0) == (residues(1), residues(2)) and stored(inv, 0, 1) == (residues(-1), residues(2))
        eye = MT.from_tensor(torch.eye(2, dtype=torch.float64), device)
        x = Two(eye.num, eye.denom).solve(MT.from_int(4, (2,), device))
        assert [value(x, i) for i in range(2)] == [2, 2]

    @pytest.mark.parametrize("n", [1, 2, 3, 4])
    def test_float_systems_are_exact(self, n, device):
        for seed in range(3):
            xa, xb = floats(n, seed, scale=300), floats(n, seed + 50, cols=1)[:, 0]
            x = MT.from_tensor(xa, device).solve(MT.from_tensor(xb, device))
            a, b = [[captured(v) for v in row] for row in xa.tolist()], [captured(v) for v in xb.tolist()]
            d = fraction_det(a)  # Cramer's rule on Fractions
            assert x.shape == (n,)
            for i in range(n):
                e = fraction_det([row[:i] + [b[r]] + row[i + 1:] for r, row in enumerate(a)]) / d
                assert stored(x, i) == (residues(e.numerator), residues(e.denominator))

    @pytest.mark.parametrize("n", [1, 2, 3, 4])
    @pytest.mark.parametrize("case", ["regular", "singular", "zero denominator in A", "zero denominator in b"])
    def test_solve_residues_are_the_chains(self, n, case, device):
        rows = small_integers(n, 7 * n, singular=case == "singular")
        rhs = [(random.Random(n).randrange(-9, 10), 1) for _ in range(n)]
        if case == "zero denominator in A":
            rows[n - 1][0] = (2, 0)
        if case == "zero denominator in b":
            rhs[0] = (1, 0)
        a, b = tensor(rows, device), tensor(rhs, device)
        x = a.solve(b)
        assert x.shape == (n,) and x._approx is None
        det_a = chain_det(a)
        for i in range(n):  # Cramer's rule on the chain: column i replaced by b
            num, den = a.num.clone(), a.denom.clone()
            num[:, :, i], den[:, :, i] = b.num, b.denom
            xi = (chain_det(MT(num, den, a.primes)) / det_a).simplify()
            assert stored(x, i) == (xi.num.reshape(-1).tolist(), xi.denom.reshape(-1).tolist())
        if case == "singular" and n >= 2:
            assert x.denom.count_nonzero() == 0

    def test_right_hand_side_shapes(self, device):
        a = MT.from_tensor(torch.eye(3, dtype=torch.float64) * 2, device)
        with pytest.raises(RuntimeError, match="expanded size"):
            a.solve(MT.ones((4,), device))
        b = MT.from_tensor(floats(3, 6, cols=1), device)
        before = [t.clone() for t in (a.num, a.denom, b.num, b.denom)]
        column, vector = a.solve(b), a.solve(MT(b.num[:, :, 0], b.denom[:, :, 0]))
        assert all(torch.equal(x, y) for x, y in zip(before, (a.num, a.denom, b.num, b.denom)))  # operands unwritten
        assert column.shape == (3,) and column._approx is None
        assert torch.equal(column.num, vector.num) and torch.equal(column.denom, vector.denom)
        # a one-element column broadcasts into every row, as the assignment does
        x = a.solve(MT.from_int(4, (1,), device))
        assert [value(x, i) for i in range(3)] == [2, 2, 2]
