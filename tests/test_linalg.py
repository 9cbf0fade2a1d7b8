"""Trace, determinant, inverse and solve.

Expected values come from fractions.Fraction; expected residues either from
Python's % or from the same chain of one-element operations written out here
with the module's operators and simplify().
"""
import math
import random
from fractions import Fraction

import pytest
import torch

from support import BASIS, captured, residues
from varnix.orvo.kalvex import ModularTensor as MT

P = len(BASIS)


# ---------------------------------------------------------------- builders

def matrix(pairs, device):
    """A matrix from rows of (num, den) pairs, stored unreduced as given."""
    n, m = len(pairs), len(pairs[0])
    num = torch.tensor([[[a % p for a, _ in row] for row in pairs] for p in BASIS], dtype=torch.int64)
    den = torch.tensor([[[b % p for _, b in row] for row in pairs] for p in BASIS], dtype=torch.int64)
    assert num.shape == (P, n, m)
    return MT(num.to(device), den.to(device))


def vector(pairs, device):
    num = torch.tensor([[a % p for a, _ in pairs] for p in BASIS], dtype=torch.int64)
    den = torch.tensor([[b % p for _, b in pairs] for p in BASIS], dtype=torch.int64)
    return MT(num.to(device), den.to(device))


def of_fractions(rows):
    return [[(f.numerator, f.denominator) for f in row] for row in rows]


def floats(n, seed, scale=10.0, cols=None):
    """Random float64 values inside the exact capture range |v| < 2048."""
    gen = torch.Generator().manual_seed(seed)
    return (torch.randn(n, cols or n, dtype=torch.float64, generator=gen) * scale).clamp(-2047.5, 2047.5)


def value(t):
    return Fraction(*t.to_rational())


def element(t, *index):
    """One element of t as a one-element tensor, residues copied as stored."""
    sl = (slice(None),) + tuple(slice(i, i + 1) for i in index)
    return MT(t.num[sl].reshape(P, 1), t.denom[sl].reshape(P, 1))


def stored(t, *index):
    """(numerator residues, denominator residues) of one element."""
    sl = (slice(None),) + tuple(index)
    return t.num[sl].tolist(), t.denom[sl].tolist()


# ------------------------------------------------------ exact expectations

def fraction_det(m):
    """Bareiss elimination on Fractions."""
    a = [row[:] for row in m]
    n, sign, prev = len(a), 1, Fraction(1)
    if n == 0:
        return Fraction(1)
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


def fraction_solve(a, b):
    n = len(a)
    d = fraction_det(a)
    return [fraction_det([row[:i] + [b[r]] + row[i + 1:] for r, row in enumerate(a)]) / d for i in range(n)]


# ------------------------------------------- the chain, step by step, here

def chain_det(m):
    """det as the closed forms and the cofactor expansion compute it, every
    step an operator of the module and each accumulation simplified."""
    n = m.shape[0]

    def elem(i, j):
        return MT(m.num[:, i:i + 1, j:j + 1].reshape(P, 1), m.denom[:, i:i + 1, j:j + 1].reshape(P, 1), m.primes)

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
    result = MT.from_int(0, (1,), str(m.device))  # an exact zero of shape [1]
    for j in range(n):
        minor = MT(torch.cat([m.num[:, 1:, :j], m.num[:, 1:, j + 1:]], dim=2),
                   torch.cat([m.denom[:, 1:, :j], m.denom[:, 1:, j + 1:]], dim=2), m.primes)
        cofactor = elem(0, j) * chain_det(minor)
        result = result + cofactor if j % 2 == 0 else result - cofactor
        result = result.simplify()
    return result


def chain_solve(a, b):
    det_a = chain_det(a)
    column_num = b.num.reshape(P, -1)
    column_den = b.denom.reshape(P, -1)
    parts = []
    for i in range(a.shape[0]):
        num, den = a.num.clone(), a.denom.clone()
        num[:, :, i] = column_num
        den[:, :, i] = column_den
        parts.append((chain_det(MT(num, den, a.primes)) / det_a).simplify())
    return (torch.stack([x.num.squeeze() for x in parts], dim=1),
            torch.stack([x.denom.squeeze() for x in parts], dim=1))


def assert_same_residues(actual, expected):
    assert actual.shape == expected.shape
    assert torch.equal(actual.num.cpu(), expected.num.cpu())
    assert torch.equal(actual.denom.cpu(), expected.denom.cpu())
    if expected._approx is None:
        assert actual._approx is None
    else:
        assert actual._approx is not None and torch.equal(actual._approx.cpu(), expected._approx.cpu())


def small_integers(n, seed, singular=False):
    rng = random.Random(seed)
    rows = [[(rng.randrange(-9, 10), rng.choice([1, 1, 2, 3, -4])) for _ in range(n)] for _ in range(n)]
    if singular and n >= 2:
        rows[-1] = [(2 * a, b) for a, b in rows[0]]  # a row proportional to the first
    return rows


# ================================================================== tests

class TestShapeChecks:
    @pytest.mark.parametrize("shape", [(2, 3), (4,), (2, 2, 2), ()])
    def test_non_square_is_refused_by_every_method(self, shape, device):
        t = MT.zeros(shape, device)
        for method, message in [("trace", "trace requires square matrix"), ("det", "det requires square matrix"),
                                ("inv", "inv requires square matrix")]:
            with pytest.raises(ValueError) as err:
                getattr(t, method)()
            assert str(err.value) == message
        with pytest.raises(ValueError) as err:
            t.solve(MT.zeros((2,), device))
        assert str(err.value) == "solve requires square matrix A"

    def test_size_limits(self, device):
        six = MT.zeros((6, 6), device)
        for call in (six.det, six.inv):
            with pytest.raises(NotImplementedError) as err:
                call()
            assert str(err.value) == "det only supports matrices up to 5x5"
        for n in (0, 3, 4, 5):
            with pytest.raises(NotImplementedError) as err:
                MT.ones((n, n), device).inv()
            assert str(err.value) == "inv only supports matrices up to 2x2 currently"
        with pytest.raises(NotImplementedError) as err:
            MT.ones((5, 5), device).solve(MT.ones((5,), device))
        assert str(err.value) == "solve only supports systems up to 4x4"

    def test_refusals_come_before_any_work(self, device):
        # Residues that any evaluation would refuse: the size test answers first.
        with pytest.raises(NotImplementedError, match="solve only supports"):
            MT(torch.zeros(P, 5, 5), torch.zeros(P, 5, 5)).solve(None)
        with pytest.raises(NotImplementedError, match="det only supports"):
            MT(torch.zeros(P, 7, 7), torch.zeros(P, 7, 7)).det()

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
        assert d.shape == () and value(d) == 0
        assert d.num.tolist() == [0] * P and d.denom.tolist() == [1] * P
        assert d._approx.dtype == torch.float32 and d._approx.item() == 0.0
        for call in (empty.trace, lambda: empty.solve(None)):
            with pytest.raises(RuntimeError, match="stack expects a non-empty TensorList"):
                call()


class TestTrace:
    def test_fractions_on_the_diagonal(self, device):
        t = matrix([[(1, 2), (7, 1)], [(5, 1), (1, 3)]], device)
        tr = t.trace()
        assert tr.shape == (1,) and value(tr) == Fraction(5, 6)
        assert stored(tr, 0) == (residues(5), residues(6))

    def test_float_matrix(self, device):
        x = floats(7, 1, scale=100)
        assert value(MT.from_tensor(x, device).trace()) == sum(captured(x[i, i].item()) for i in range(7))

    def test_one_element_is_kept_unreduced(self, device):
        tr = matrix([[(6, 4)]], device).trace()
        assert stored(tr, 0) == (residues(6), residues(4)) and tr._approx is None


class TestDeterminant:
    def test_one_by_one_is_the_entry_unreduced(self, device):
        d = matrix([[(6, -4)]], device).det()
        assert d.shape == (1,) and d._approx is None
        assert stored(d, 0) == (residues(6), residues(-4))

    def test_two_by_two(self, device):
        d = MT.from_tensor(torch.tensor([[1.0, 2.0], [3.0, 4.0]], dtype=torch.float64), device).det()
        assert d.shape == (1,) and value(d) == -2
        assert stored(d, 0) == (residues(-2), residues(1))
        assert d._approx.item() == -2.0

    @pytest.mark.parametrize("n", [2, 3, 4, 5])
    def test_float_matrices_are_exact(self, n, device):
        for seed in range(3):
            x = floats(n, 100 * n + seed, scale=[1.0, 50.0, 2000.0][seed])
            d = MT.from_tensor(x, device).det()
            expected = fraction_det([[captured(v) for v in row] for row in x.tolist()])
            assert d.shape == (1,) and value(d) == expected
            assert stored(d, 0) == (residues(expected.numerator), residues(expected.denominator))
            assert d._approx.item() == torch.tensor(float(expected), dtype=torch.float32).item()

    @pytest.mark.parametrize("n", [2, 3, 4, 5])
    def test_fraction_matrices_are_exact(self, n, device):
        rng = random.Random(n)
        rows = [[Fraction(rng.randrange(-30, 30), rng.randrange(1, 12)) for _ in range(n)] for _ in range(n)]
        unreduced = [[(3 * f.numerator, 3 * f.denominator) for f in row] for row in rows]
        assert value(matrix(unreduced, device).det()) == fraction_det(rows)

    def test_three_by_three_equals_the_bordered_expansion(self, device):
        x = floats(3, 7)
        bordered = torch.zeros(4, 4, dtype=torch.float64)
        bordered[0, 0] = 1.0
        bordered[1:, 1:] = x
        small, big = MT.from_tensor(x, device).det(), MT.from_tensor(bordered, device).det()
        assert value(small) == value(big)
        assert torch.equal(small.num, big.num) and torch.equal(small.denom, big.denom)

    @pytest.mark.parametrize("n", [4, 5])
    def test_expansion_starts_from_a_one_element_zero(self, n, device):
        # The cofactor sums start from an exact zero of shape [1]; the result
        # keeps that shape and equals the chain written out with it.
        a = matrix(small_integers(n, n), device)
        d = a.det()
        assert d.shape == (1,)
        assert_same_residues(d, chain_det(a))

    @pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
    @pytest.mark.parametrize("singular", [False, True])
    def test_residues_are_the_chains(self, n, singular, device):
        for seed in range(2):
            a = matrix(small_integers(n, 10 * n + seed, singular), device)
            assert_same_residues(a.det(), chain_det(a))

    @pytest.mark.parametrize("n", [2, 3, 4, 5])
    def test_zero_denominators_follow_the_chain(self, n, device):
        rows = small_integers(n, 3 * n)
        for position in [(0, 0), (n - 1, 1), (1, n - 1)]:
            broken = [row[:] for row in rows]
            broken[position[0]][position[1]] = (5, 0)  # what a division by an exact zero stores
            a = matrix(broken, device)
            d = a.det()
            assert_same_residues(d, chain_det(a))
            assert d.denom.count_nonzero() == 0

    def test_strided_residues(self, device):
        # A transposed view of the residues: det(A^T) = det(A), read in place.
        a = MT.from_tensor(floats(4, 21), device)
        t = MT(a.num.transpose(1, 2), a.denom.transpose(1, 2))
        assert not t.num.is_contiguous()
        assert_same_residues(t.det(), a.det())
        assert_same_residues(t.det(), chain_det(t))

    def test_denominators_divisible_by_a_prime(self, device):
        p = BASIS[3]
        rows = [[Fraction(1, p), Fraction(2)], [Fraction(3), Fraction(5, 7)]]
        a = matrix(of_fractions(rows), device)
        d = a.det()
        assert value(d) == fraction_det(rows)
        assert_same_residues(d, chain_det(a))

    def test_exact_where_the_chain_loses_the_value(self, device):
        # 40-bit denominators: the chain's unreduced pair outgrows the 620-bit
        # residue range while the reduced determinant fits easily.
        rng = random.Random(5)
        rows = [[Fraction(rng.randrange(-2**60, 2**60), rng.randrange(2**39, 2**40) | 1) for _ in range(3)]
                for _ in range(3)]
        a = matrix(of_fractions(rows), device)
        expected = fraction_det(rows)
        assert value(chain_det(a)) != expected  # the regime this test is about
        assert value(a.det()) == expected

    @pytest.mark.parametrize("n", [2, 3, 4, 5])
    def test_entries_whose_stored_pairs_overflow(self, n, device):
        # Row sums of 16 floats: every entry carries the denominator 2^832,
        # beyond the residue range, and is read back by reconstruction.
        x = floats(n * n * 16, n, cols=1).reshape(n, n, 16)
        a = MT.from_tensor(x, device).sum(dim=2)
        rows = [[sum(captured(v) for v in cell) for cell in row] for row in x.tolist()]
        d = a.det()
        assert value(d) == fraction_det(rows)
        assert_same_residues(d, chain_det(a))

    def test_beyond_the_read_back_range_the_residues_are_exact(self, device):
        rng = random.Random(6)
        rows = [[Fraction(rng.randrange(1, 2**60), rng.randrange(2**59, 2**60) | 1) for _ in range(5)]
                for _ in range(5)]
        expected = fraction_det(rows)
        assert expected.denominator.bit_length() > 620
        d = matrix(of_fractions(rows), device).det()
        assert stored(d, 0) == (residues(expected.numerator), residues(expected.denominator))


class TestInverse:
    def test_one_by_one(self, device):
        inv = MT.from_int(4, (1, 1), device).inv()
        assert inv.shape == (1, 1) and inv._approx is None
        assert stored(inv, 0, 0) == (residues(1), residues(4))
        zero = MT.zeros((1, 1), device).inv()  # no error, a zero denominator
        assert stored(zero, 0, 0) == (residues(1), residues(0))

    def test_two_by_two_stores_the_unreduced_quotients(self, device):
        inv = MT.from_tensor(torch.tensor([[1.0, 2.0], [3.0, 4.0]], dtype=torch.float64), device).inv()
        assert inv.shape == (2, 2) and inv._approx is None
        s = 2**52
        # adj = [[4, -2], [-3, 1]] over 2^52 each, divided by det = -2/1
        for (i, j), adj in {(0, 0): 4, (0, 1): -2, (1, 0): -3, (1, 1): 1}.items():
            assert stored(inv, i, j) == (residues(adj * s), residues(-2 * s))
        assert [[value(element(inv, i, j)) for j in range(2)] for i in range(2)] == \
            [[-2, 1], [Fraction(3, 2), Fraction(-1, 2)]]

    def test_float_matrices_invert_exactly(self, device):
        for seed in range(4):
            x = floats(2, seed, scale=100)
            inv = MT.from_tensor(x, device).inv()
            a = [[captured(v) for v in row] for row in x.tolist()]
            d = fraction_det(a)
            expected = [[a[1][1] / d, -a[0][1] / d], [-a[1][0] / d, a[0][0] / d]]
            assert [[value(element(inv, i, j)) for j in range(2)] for i in range(2)] == expected

    @pytest.mark.parametrize("singular", [False, True])
    def test_residues_are_adjugate_over_the_chains_determinant(self, singular, device):
        for seed in range(3):
            rows = small_integers(2, seed, singular)
            if seed == 2:
                rows[0][1] = (3, 0)  # a zero denominator in the input
            a = matrix(rows, device)
            det = chain_det(a)
            dn, dd = det.num.reshape(-1).tolist(), det.denom.reshape(-1).tolist()
            inv = a.inv()
            adjugate = {(0, 0): (1, 1, 1), (0, 1): (0, 1, -1), (1, 0): (1, 0, -1), (1, 1): (0, 0, 1)}
            for (i, j), (r, c, sign) in adjugate.items():
                en, ed = stored(a, r, c)
                expected_num = [(sign * x * y) % p for x, y, p in zip(en, dd, BASIS)]
                expected_den = [(x * y) % p for x, y, p in zip(ed, dn, BASIS)]
                assert stored(inv, i, j) == (expected_num, expected_den)
            if singular and seed < 2:  # det is exactly 0: every denominator is
                assert inv.denom.count_nonzero() == 0

    def test_overridden_determinant_is_used(self, device):
        class Scaled(MT):
            def det(self):
                return MT.from_int(2, (1,), str(self.device))

        a = Scaled(MT.ones((2, 2), device).num, MT.ones((2, 2), device).denom)
        inv = a.inv()
        assert stored(inv, 0, 0) == (residues(1), residues(2))
        assert stored(inv, 0, 1) == (residues(-1), residues(2))


class TestSolve:
    def test_diagonal_system_with_vector_and_column(self, device):
        a = MT.from_tensor(torch.tensor([[2.0, 0.0], [0.0, 4.0]], dtype=torch.float64), device)
        for b in (torch.tensor([2.0, 8.0], dtype=torch.float64), torch.tensor([[2.0], [8.0]], dtype=torch.float64)):
            x = a.solve(MT.from_tensor(b, device))
            assert x.shape == (2,) and x._approx is None
            assert [value(element(x, i)) for i in range(2)] == [1, 2]
            assert stored(x, 0) == (residues(1), residues(1))

    @pytest.mark.parametrize("n", [1, 2, 3, 4])
    def test_float_systems_are_exact(self, n, device):
        for seed in range(3):
            xa, xb = floats(n, seed, scale=300), floats(n, seed + 50, cols=1)[:, 0]
            x = MT.from_tensor(xa, device).solve(MT.from_tensor(xb, device))
            expected = fraction_solve([[captured(v) for v in row] for row in xa.tolist()],
                                      [captured(v) for v in xb.tolist()])
            assert x.shape == (n,)
            for i, e in enumerate(expected):
                assert stored(x, i) == (residues(e.numerator), residues(e.denominator))

    @pytest.mark.parametrize("n", [1, 2, 3, 4])
    @pytest.mark.parametrize("case", ["regular", "singular", "zero denominator in A", "zero denominator in b"])
    def test_residues_are_the_chains(self, n, case, device):
        rows = small_integers(n, 7 * n, singular=case == "singular")
        rhs = [(random.Random(n).randrange(-9, 10), 1) for _ in range(n)]
        if case == "zero denominator in A":
            rows[n - 1][0] = (2, 0)
        if case == "zero denominator in b":
            rhs[0] = (1, 0)
        a, b = matrix(rows, device), vector(rhs, device)
        x = a.solve(b)
        num, den = chain_solve(a, b)
        assert x.shape == (n,) and x._approx is None
        assert torch.equal(x.num.cpu(), num.cpu()) and torch.equal(x.denom.cpu(), den.cpu())
        if case == "singular" and n >= 2:
            assert x.denom.count_nonzero() == 0

    def test_overridden_determinant_is_used(self, device):
        class Halved(MT):
            def det(self):
                return MT.from_int(2, (1,), str(self.device))

        eye = MT.from_tensor(torch.eye(2, dtype=torch.float64), device)
        x = Halved(eye.num, eye.denom).solve(MT.from_int(4, (2,), device))
        assert [value(element(x, i)) for i in range(2)] == [2, 2]

    def test_operands_are_not_written(self, device):
        a = MT.from_tensor(floats(3, 1), device)
        b = MT.from_tensor(floats(3, 2, cols=1), device)
        before = [t.clone() for t in (a.num, a.denom, b.num, b.denom)]
        a.solve(b)
        assert all(torch.equal(x, y) for x, y in zip(before, (a.num, a.denom, b.num, b.denom)))

    def test_right_hand_side_of_another_length(self, device):
        a = MT.ones((3, 3), device)
        with pytest.raises(RuntimeError, match="expanded size"):
            a.solve(MT.ones((4,), device))
        # a one-element column broadcasts into every row, as the assignment does
        x = MT.from_tensor(torch.eye(3, dtype=torch.float64) * 2, device).solve(MT.from_int(4, (1,), device))
        assert [value(element(x, i)) for i in range(3)] == [2, 2, 2]


class TestDevices:
    def test_results_live_on_the_matrix_device(self, device):
        a = MT.from_tensor(floats(2, 3), device)
        for result in (a.det(), a.inv(), a.trace(), a.solve(MT.from_tensor(floats(2, 4, cols=1)[:, 0], device)),
                       MT.zeros((0, 0), device).det()):
            assert result.num.device.type == torch.device(device).type
            assert result.denom.device == result.num.device and result.primes.device == result.num.device

