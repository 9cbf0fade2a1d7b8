"""Each distinct code path of the operators and reductions, checked by value.

The arithmetic kernels walk contiguous rows directly and go through an
iterator for broadcast or strided operands; the sum reduces chunks of 64 on
the host; large work runs with the interpreter lock released.  Expectations come from Python's % on
the literal formulas and from fractions.Fraction.
"""
import random
import threading
from fractions import Fraction

import pytest
import torch

from support import BASIS, column, literal_binary, residues
from varnix.orvo.kalvex import ModularTensor as MT

PRIMES = torch.tensor(BASIS, dtype=torch.int64)


def residue_rows(ints, shape):
    """int64 [20, *shape]: each Python int of `ints` (flat) modulo every prime."""
    return torch.tensor([[v % p for v in ints] for p in BASIS], dtype=torch.int64).reshape(len(BASIS), *shape)


def tensor_of(pairs, shape, device):
    """A ModularTensor holding the fractions n/d of `pairs` (flat), unreduced as given."""
    num = residue_rows([n for n, _ in pairs], shape)
    den = residue_rows([d for _, d in pairs], shape)
    approx = torch.tensor([n / d for n, d in pairs], dtype=torch.float32).reshape(shape)
    return MT(num.to(device), den.to(device), None, approx.to(device))


def random_pairs(rng, count, bound=10**6):
    """(numerator, denominator) pairs, kept unreduced: numerators of both signs."""
    return [(rng.randrange(-bound, bound), rng.randrange(1, bound)) for _ in range(count)]


def literal(op, x, y):
    """(N, D) of x op y by the cross-multiplication formulas, as Python ints."""
    (a, b), (c, d) = x, y
    return {"+": (a * d + b * c, b * d), "-": (a * d - b * c, b * d), "*": (a * c, b * d), "/": (a * d, b * c)}[op]


OPS = {"+": lambda x, y: x + y, "-": lambda x, y: x - y, "*": lambda x, y: x * y, "/": lambda x, y: x / y}


# Operand layouts: (shape of the base tensor, view of it); a view takes
# (tensor, number of leading prime axes).
def same(t, k):
    return t


def transposed(t, k):
    return t.transpose(k, k + 1)


def column_major(t, k):
    return t.transpose(k, k + 1).contiguous().transpose(k, k + 1)


def every_other_column(t, k):
    return t[(slice(None),) * (k + 1) + (slice(None, None, 2),)]


def expanded_rows(t, k):
    return t.expand(*t.shape[:k], 3, t.shape[k + 1])


def sparse_grid(t, k):
    return t[(slice(None),) * k + (slice(1, None, 2), slice(None, None, 3))]


VIEW_CASES = {
    "broadcast both": (((3, 1), same), ((1, 4), same)),
    "transposed": (((4, 3), transposed), ((3, 4), same)),
    "every other column": (((3, 8), every_other_column), ((3, 4), column_major)),
    "expanded": (((1, 4), expanded_rows), ((3, 4), same)),
    "strided against broadcast": (((5, 6), sparse_grid), ((1, 2), same)),
    "large broadcast": (((300, 1), same), ((1, 230), same)),
}


def positions(shape, view):
    """Which element of the flat base each position of the view shows."""
    return view(torch.arange(shape[0] * shape[1]).reshape(shape), 0)


def paired(case, rng, device):
    """Operands x, y laid out as the case says, and the fractions each position
    of the broadcast result combines (flat lists of pairs)."""
    (x_shape, x_view), (y_shape, y_view) = VIEW_CASES[case]
    x_ids, y_ids = torch.broadcast_tensors(positions(x_shape, x_view), positions(y_shape, y_view))
    x_pairs = random_pairs(rng, x_shape[0] * x_shape[1])
    y_pairs = random_pairs(rng, y_shape[0] * y_shape[1])
    # The first position compares a value with itself in another form, so == sees both outcomes.
    i, j = int(x_ids.reshape(-1)[0]), int(y_ids.reshape(-1)[0])
    y_pairs[j] = (3 * x_pairs[i][0], 3 * x_pairs[i][1])
    x = tensor_of(x_pairs, x_shape, device)
    y = tensor_of(y_pairs, y_shape, device)
    x = MT(x_view(x.num, 1), x_view(x.denom, 1), None, x_view(x._approx, 0))
    y = MT(y_view(y.num, 1), y_view(y.denom, 1), None, y_view(y._approx, 0))
    xs = [x_pairs[i] for i in x_ids.reshape(-1).tolist()]
    ys = [y_pairs[i] for i in y_ids.reshape(-1).tolist()]
    return x, y, xs, ys, tuple(x_ids.shape)


def sample(count, rng, limit=400):
    """All positions of a small result, a random selection of a large one."""
    return range(count) if count <= limit else sorted(rng.sample(range(count), limit))


class TestIteratorPaths:
    @pytest.mark.parametrize("case", list(VIEW_CASES))
    @pytest.mark.parametrize("op", list(OPS))
    def test_residues_of_views(self, case, op, device):
        rng = random.Random(f"{case} {op}")
        x, y, xs, ys, shape = paired(case, rng, device)
        result = OPS[op](x, y)
        assert tuple(result.shape) == shape
        num = result.num.cpu().reshape(len(BASIS), -1)
        den = result.denom.cpu().reshape(len(BASIS), -1)
        for i in sample(len(xs), rng):
            n, d = literal(op, xs[i], ys[i])
            assert column(num, (i,)) == residues(n) and column(den, (i,)) == residues(d), (i, xs[i], ys[i])

    @pytest.mark.parametrize("case", list(VIEW_CASES))
    def test_equality_of_views(self, case, device):
        x, y, xs, ys, shape = paired(case, random.Random(case), device)
        flags = (x == y).cpu()
        assert flags.dtype == torch.bool and tuple(flags.shape) == shape
        assert flags.reshape(-1).tolist() == [Fraction(*a) == Fraction(*b) for a, b in zip(xs, ys)]
        assert flags.reshape(-1)[0]

    @pytest.mark.parametrize("slot", ["num", "denom", "primes"])
    def test_equality_refuses_residues_of_another_dtype(self, slot, device):
        # The flags kernel reads int64; an int32 slot on the iterator path was
        # read past its end.
        x = MT.from_fraction(1, 2, (3, 1), device)
        y = MT.from_fraction(1, 2, (1, 4), device)
        fields = {"num": y.num, "denom": y.denom, "primes": y.primes}
        fields[slot] = fields[slot].to(torch.int32)
        narrow = MT(fields["num"], fields["denom"], fields["primes"])
        # == reads the residues of both operands and the primes of the left one.
        for left, right in [(narrow, x)] + ([] if slot == "primes" else [(x, narrow)]):
            with pytest.raises(TypeError, match=f"'{slot}' must hold int64"):
                left == right

    def test_negation_of_a_transposed_view(self, device):
        pairs = random_pairs(random.Random(7), 24)
        x = tensor_of(pairs, (4, 6), device)
        negated = -MT(transposed(x.num, 1), transposed(x.denom, 1), None, transposed(x._approx, 0))
        num = negated.num.cpu().reshape(len(BASIS), -1)
        den = negated.denom.cpu().reshape(len(BASIS), -1)
        for i, base in enumerate(positions((4, 6), transposed).reshape(-1).tolist()):
            n, d = pairs[base]
            assert column(num, (i,)) == residues(-n) and column(den, (i,)) == residues(d), i


class TestStreamingStores:
    # Two int64 [20, n] outputs reach the 8 MiB threshold from n = 26215 on; an
    # odd length leaves every other row start unaligned for 16-byte stores.
    N = 40_001

    @pytest.mark.parametrize("op", list(OPS))
    def test_large_results(self, op, device):
        gen = torch.Generator().manual_seed(len(op) + ord(op))
        a, c = (torch.randint(-10**9, 10**9, (self.N,), generator=gen) for _ in range(2))
        b, d = (torch.randint(1, 10**9, (self.N,), generator=gen) for _ in range(2))
        P = PRIMES.view(-1, 1)
        x = MT((a % P).to(device), (b % P).to(device))
        y = MT((c % P).to(device), (d % P).to(device))
        result = OPS[op](x, y)
        num, den = result.num.cpu(), result.denom.cpu()
        assert 2 * num.numel() * num.element_size() >= 8 << 20
        edges = [0, 1, 510, 511, 512, 513, self.N // 2, self.N - 2, self.N - 1]
        for i in edges + random.Random(op).sample(range(self.N), 200):
            n, dd = literal(op, (int(a[i]), int(b[i])), (int(c[i]), int(d[i])))
            assert column(num, (i,)) == residues(n) and column(den, (i,)) == residues(dd), i
        # Every position, by the same formulas in plain torch operations.
        expected_num, expected_den = literal_binary(op, MT(x.num.cpu(), x.denom.cpu()), MT(y.num.cpu(), y.denom.cpu()))
        assert torch.equal(num, expected_num) and torch.equal(den, expected_den)


class TestSumChunks:
    """Chunks of 64 whose unreduced sums lie far beyond the 620-bit range while
    the reduced sum is small come out exact, in lowest terms."""

    @staticmethod
    def chunked_values(rng, count, numerators):
        # Denominators 2^11 and 3^7 alternate: no common denominator, so the
        # chunked path runs; a chunk's unreduced denominator has some 700 bits,
        # the reduced one at most 23.
        return [(rng.randrange(*numerators), 2**11 if i % 2 else 3**7) for i in range(count)]

    @pytest.mark.parametrize("count", [64, 128, 64 * 3 + 5])
    def test_exact_and_in_lowest_terms(self, count, device):
        pairs = self.chunked_values(random.Random(count), count, (-10**6, 10**6))
        unreduced_den = 1
        for _, d in pairs[:64]:
            unreduced_den *= d
        assert unreduced_den.bit_length() > 620
        expected = sum(Fraction(n, d) for n, d in pairs)
        s = tensor_of(pairs, (count,), device).sum()
        assert s.shape == (1,)
        assert Fraction(*s.to_rational()) == expected
        assert column(s.num, (0,)) == residues(expected.numerator)
        assert column(s.denom, (0,)) == residues(expected.denominator)

    def test_numerators_beyond_range_too(self, device):
        # Numerators near 2^40: both halves of the unreduced chunk sum leave the range.
        pairs = self.chunked_values(random.Random(5), 64, (2**39, 2**40))
        expected = sum(Fraction(n, d) for n, d in pairs)
        assert Fraction(*tensor_of(pairs, (64,), device).sum().to_rational()) == expected


class TestThreads:
    """Operations that release the interpreter lock give, from several Python
    threads at once, exactly what they give one after another."""

    @staticmethod
    def outcome(result):
        if isinstance(result, torch.Tensor):
            return (result.cpu(),)
        return (result.num.cpu(), result.denom.cpu())

    def test_concurrent_results_equal_serial_ones(self, device):
        gen = torch.Generator().manual_seed(11)
        n = 20_000  # 400 000 residues per operand: well above what releases the lock

        def captured(*shape):
            return MT.from_tensor(torch.randn(*shape, dtype=torch.float64, generator=gen), device)

        x, y, m, k = captured(n), captured(n), captured(200, 400), captured(400, 30)
        mixed = tensor_of([(i % 97 - 48, i % 12 + 1) for i in range(5000)], (5000,), device)
        work = [
            ("+", lambda: x + y), ("-", lambda: x - y), ("*", lambda: x * y), ("/", lambda: x / y),
            ("neg", lambda: -x), ("==", lambda: x == y), ("sum", lambda: x.sum()), ("dot", lambda: x.dot(y)),
            ("sum of mixed denominators", lambda: mixed.sum()), ("sum along dim", lambda: m.sum(dim=1)),
            ("matmul", lambda: m.matmul(k)),
        ]
        serial = {name: self.outcome(fn()) for name, fn in work}
        results, errors = {}, []

        def run(thread):
            try:
                # Every thread runs the whole list, each starting at another place.
                for j in range(len(work)):
                    name, fn = work[(thread + j) % len(work)]
                    results[(thread, name)] = self.outcome(fn())
            except BaseException as e:  # reported by the main thread
                errors.append(e)

        threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
        assert len(results) == 4 * len(work)
        for (thread, name), got in results.items():
            assert all(torch.equal(g, w) for g, w in zip(got, serial[name])), (thread, name)
