"""Values near and past the exact range: each is read exactly or refused with
an OverflowError, never read as another value; approximations stay close to
the exact value either way; captured floats and raw residue records read as
what they stand for.  Expectations come from fractions.Fraction, Python's %
and plain integers."""
import copy
import io
import math
import pickle
from fractions import Fraction

import pytest
import torch

import varnix.orvo.kalvex as kx
from support import BASIS, M, captured, pairs_of, residues, signed_crt, tensor_of

MT = kx.ModularTensor
HALF = M // 2
UNREADABLE = "value exceeds the exact range: its numerator and denominator need more than about 555 bits together"


def reading(t):
    """The exact value of a one-element tensor, or None where it is refused as beyond the range."""
    try:
        return Fraction(*t.to_rational())
    except OverflowError as error:
        assert str(error) == UNREADABLE
        return None


def readings(t):
    """reading() of every element, in row-major order."""
    flat = t.reshape(math.prod(t.shape))
    return [reading(flat.index_select(0, torch.tensor([i], device=t.device))) for i in range(math.prod(t.shape))]


def close(approx, exact, rel=1e-6):
    """A float32 approximation within float32 accuracy of `exact` (accumulated over a few hundred steps)."""
    return abs(float(approx) - float(exact)) <= rel * abs(float(exact))


def running_harmonic(n, device):
    """1/1 + 1/2 + ... + 1/n added one term at a time with +, and its Fraction."""
    h = MT.zeros((), device)
    for k in range(1, n + 1):
        h = h + MT.from_fraction(1, k, (), device)
    return h, sum(Fraction(1, k) for k in range(1, n + 1))


def float32(value):
    return torch.tensor(float(value), dtype=torch.float32).item()


class TestReadBackPastTheRange:
    @pytest.mark.parametrize("make", [lambda d: MT.from_int(10**200, (), d),
                                      lambda d: MT.from_fraction(2, 3, (), d) ** 1000,
                                      lambda d: MT.from_fraction(-(3**400), 7**200, (1,), d)],
                             ids=["10^200", "(2/3)^1000", "-3^400/7^200"])
    def test_values_beyond_the_range_are_refused(self, make, device):
        x = make(device)
        for read in (x.to_rational, x.to_decimal):
            with pytest.raises(OverflowError, match=f"^{UNREADABLE}$"):
                read()
        assert x.simplify() is x
        assert torch.isnan(MT(x.num, x.denom, x.primes).to_float()).all()

    def test_running_harmonic_sum(self, device):
        h, exact = MT.zeros((), device), Fraction(0)
        for k in range(1, 501):
            h, exact = h + MT.from_fraction(1, k, (), device), exact + Fraction(1, k)
            got = reading(h)
            assert got == exact if k <= 150 else got in (exact, None), k
        assert reading(h) is None and close(h._approx, exact)

    def test_running_factorial_reads_up_to_the_half_modulus(self, device):
        assert math.factorial(113) <= HALF < math.factorial(114)
        x = MT.ones((), device)
        for k in range(1, 121):
            x = x * MT.from_int(k, (), device)
            assert reading(x) == (math.factorial(k) if k <= 113 else None), k

    def test_powers_of_a_stochastic_matrix(self, device):
        P = MT.from_tensor(torch.tensor([[0.5, 0.5], [0.25, 0.75]], dtype=torch.float64), device)
        F = [[Fraction(1, 2), Fraction(1, 2)], [Fraction(1, 4), Fraction(3, 4)]]
        power, exact, refused = P, F, 0
        for k in range(1, 141):
            if k > 1:
                power = power.matmul(P)
                exact = [[sum(exact[i][m] * F[m][j] for m in range(2)) for j in range(2)] for i in range(2)]
            flat = [e for row in exact for e in row]
            for got, want in zip(readings(power), flat):
                assert got == want if k <= 20 else got in (want, None), k
                refused += got is None
        assert refused  # the last powers go past the range
        assert all(close(a, e) for a, e in zip(power._approx.flatten().tolist(), flat))

    def test_float_view_is_nan_exactly_where_unreadable(self, device):
        terms = [Fraction(1, k) for k in range(1, 301)]
        running = tensor_of(terms, device).cumsum(0)
        x = MT(running.num, running.denom, running.primes)  # no approximation: the view reads the residues
        view, got = x.to_float().cpu().tolist(), readings(x)
        assert None in got and got.count(None) < len(got)  # both kinds are present
        for k, (v, g) in enumerate(zip(view, got)):
            exact = sum(terms[:k + 1])
            assert (math.isnan(v) and g is None) or (g == exact and v == float32(exact)), k


class TestHonestApproximations:
    TERMS = [1 / k for k in range(1, 301)]

    @staticmethod
    def variance(values, correction):
        mean = sum(values) / len(values)
        return sum((v - mean) ** 2 for v in values) / (len(values) - correction)

    @pytest.mark.parametrize("captured_floats", [True, False], ids=["captured", "exact-fractions"])
    def test_norm_var_std_of_reciprocals(self, captured_floats, device):
        if captured_floats:
            x = MT.from_tensor(torch.tensor(self.TERMS, dtype=torch.float64), device)
            values = [captured(v) for v in self.TERMS]
        else:  # sums of squares and variances of these go beyond the range
            values = [Fraction(1, k) for k in range(1, 301)]
            x = tensor_of(values, device)
        norm = math.sqrt(sum(v * v for v in values))
        assert 1.2812 < norm < 1.2813 and close(x.norm()._approx, norm)
        assert reading(x.norm()) is None or close(reading(x.norm()), norm)
        for correction in (1, 0):  # the default is the sample variance
            var = self.variance(values, correction)
            assert 0.0050 < var < 0.0051
            v = x.var() if correction == 1 else x.var(correction)
            assert reading(v) == (var if captured_floats else None)
            assert v._approx.item() > 0 and close(v._approx, var)
            s = x.std(correction)
            assert close(s._approx, math.sqrt(var)) and reading(s) is not None and close(reading(s), math.sqrt(var))

    def test_results_of_an_unreadable_value(self, device):
        h, H = running_harmonic(500, device)
        assert reading(h) is None
        tenth = MT.from_fraction(1, 10, (), device)
        cases = [(h ** 2, H * H), (h * h, H * H), (h.square(), H * H), (h ** -1, 1 / H), (h.reciprocal(), 1 / H),
                 (-h, -H), (h.abs(), H), (h + h, 2 * H), (h * tenth, H / 10), (kx.sqrt_newton(h), math.sqrt(H)),
                 (kx.exp_taylor(h * tenth), math.exp(H / 10)), (kx.sin_taylor(h * tenth), math.sin(H / 10)),
                 (h.reshape(1).sum(), H), (h.reshape(1).prod(), H), (h.reshape(1).cumsum(0), H),
                 (h.reshape(1).max(), H), (h.norm(), H), (h.clamp(0.0, 10.0), H)]
        for k, (result, exact) in enumerate(cases):
            assert close(result._approx, exact), k
            got = reading(result)
            assert got is None or close(got, exact), k  # a square root may be read: the seed taken from the float

    def test_sum_beyond_the_range_keeps_the_float_total(self, device):
        terms = [Fraction(1, k) for k in range(1, 601)]
        s = tensor_of(terms, device).sum()
        assert reading(s) is None and close(s._approx, sum(terms))


class TestCaptureAtAnySize:
    VALUES = [2048.0, -4096.0, 2047.75, 3.0 * 2**60, 65504.0, 1e6, -(2.0**100), -(2.0**-24),
              float(torch.finfo(torch.float32).max), 1.75 * 2.0**565, 1e300, -(2.0**1023) * 1.5]

    @pytest.mark.parametrize("dtype", [torch.float64, torch.float32, torch.float16, torch.bfloat16], ids=str)
    def test_large_values_read_as_they_are(self, dtype, device):
        for v in self.VALUES:
            t = torch.tensor([v], dtype=torch.float64).to(dtype)
            if not torch.isfinite(t).all() or t.double().item() != v:
                continue  # not representable in this dtype
            x = MT.from_tensor(t.to(device), device)
            # v 2^52 / 2^52: the numerator is in the signed range below 2^618
            assert reading(x) == (Fraction(v) if abs(v) < 2.0**566 else None), v
            assert (x == tensor_of([Fraction(v)], device)).all()  # congruent to v either way

    @pytest.mark.parametrize("v", [2.0**566, -1.5 * 2.0**566, 1.99 * 2.0**566],
                             ids=["2^566", "-1.5*2^566", "1.99*2^566"])
    def test_largest_captured_values_in_range(self, v, device):
        assert abs(Fraction(v)) * 2**52 <= HALF
        assert reading(MT.from_tensor(torch.tensor([v], dtype=torch.float64).to(device), device)) == Fraction(v)

    def test_sums_norms_and_roots_of_large_values(self, device):
        assert reading(MT.from_tensor(torch.tensor([1e6]).to(device), device).sum()) == 10**6
        assert reading(MT.from_tensor(torch.full((100,), 1000.0).to(device), device).norm()) == 10000
        assert reading(kx.sqrt_newton(MT.from_int(10**8, (), device))) == 10000

    @pytest.mark.parametrize("dtype", [torch.float64, torch.float32, torch.float16, torch.bfloat16], ids=str)
    @pytest.mark.parametrize("bad, name", [(math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf")])
    def test_not_finite_is_refused_wherever_it_is(self, dtype, bad, name, device):
        long = torch.ones(10_000, dtype=dtype)
        long[-1] = bad
        grid = torch.ones(4, 6, dtype=dtype)
        grid[3, 1] = bad
        for t in (long, grid.t(), grid[3, 1]):  # the last block, a strided view, a 0-dim tensor
            with pytest.raises(ValueError, match=rf"^from_tensor\(\) captures finite values only, got {name}$"):
                MT.from_tensor(t.to(device), device)


class TestCanonicalRecords:
    # Residues outside [0, p) in every row, or in some: each stands for its value modulo the row's prime.
    P = torch.tensor(BASIS)
    COLUMNS = [(torch.full((20,), 2**40), torch.ones(20)), (torch.full((20,), -1), torch.ones(20)),
               (P + 5, torch.ones(20)), (-P - 5, torch.ones(20)), (torch.full((20,), 7), torch.full((20,), -1)),
               (torch.full((20,), 2**62), P + 3), (3 * P + 2, 4 - 2 * P), (torch.full((20,), 2**40),) * 2]

    def record(self):
        num, den = (torch.stack([c[half].long() for c in self.COLUMNS], 1) for half in (0, 1))
        reduced = [(half % self.P.view(20, 1)) for half in (num, den)]
        def value(rows):
            return signed_crt([r % p for r, p in zip(rows, BASIS)])
        values = [Fraction(value(ns), value(ds)) for ns, ds in zip(num.t().tolist(), den.t().tolist())]
        return num, den, reduced, values

    @staticmethod
    def check(x, values):
        """x reads as `values`, and so does whatever is computed from it."""
        assert readings(x) == values
        assert readings(x + 0) == values and readings(x * 1) == values
        assert readings(x.cumsum(0)) == [sum(values[:k + 1]) for k in range(len(values))]
        assert reading(x.sum()) == sum(values) and reading(x.prod()) == math.prod(values)
        assert (x == tensor_of(values, x.device)).all()
        assert (x == -1).tolist() == [v == -1 for v in values]
        assert x.to_float().cpu().tolist() == [float32(v) for v in values]

    def test_residues_outside_the_rows_range(self, device):
        num, den, reduced, values = self.record()
        assert values == [2**40, -1, 5, -5, -7, Fraction(2**62, 3), Fraction(1, 2), 1]
        given = num.to(device)
        x = MT(given, den.to(device))
        assert torch.equal(given.cpu(), num)  # the caller's tensor is left as it was
        assert torch.equal(x.num.cpu(), reduced[0]) and torch.equal(x.denom.cpu(), reduced[1])
        self.check(x, values)

    def test_residues_written_in_place(self, device):
        _, _, reduced, values = self.record()
        x = MT(reduced[0].to(device), reduced[1].to(device)).clone()
        self.check(x, values)
        x.num[0] += BASIS[0]  # after a first use: the record is brought into range again
        x.denom[5, 1:4] -= 3 * BASIS[5]
        x.num[19, -1] += 2**62 - 2**62 % BASIS[19]
        self.check(x, values)
        made = MT.from_int(2**40, (3,), device).clone()
        made.num[0] += BASIS[0]
        self.check(made, [2**40] * 3)


class TestValuesInRange:
    @pytest.mark.parametrize("make, expected", [
        (lambda d: MT.from_int(HALF, (), d), Fraction(HALF)),
        (lambda d: MT.from_int(-HALF, (1,), d), Fraction(-HALF)),
        (lambda d: MT.from_fraction(-1, HALF, (), d), Fraction(-1, HALF)),
        (lambda d: MT.from_int(HALF + 1, (), d), None),  # its bound says it is beyond the range
        (lambda d: MT.from_int(-HALF - 1, (), d), None),
        # raw residues are read literally: those of M // 2 + 1 stand for -(M - 1) / 2
        (lambda d: MT(*(torch.tensor(residues(v)).to(d) for v in (HALF + 1, 1))), Fraction(-(M - 1) // 2)),
        (lambda d: MT.from_fraction(2**600, 3**300, (), d), Fraction(2**600, 3**300)),
        (lambda d: MT.from_int(2**300, (), d) * MT.from_int(2**299 + 1, (), d), Fraction(2**300 * (2**299 + 1))),
        (lambda d: MT.from_fraction(3**200, 2**10, (), d) / MT.from_fraction(5**3, 2**290, (), d),
         Fraction(3**200 * 2**280, 125)),
    ], ids=["half", "-half", "-1/half", "half+1", "-half-1", "raw half+1", "2^600/3^300", "600-bit product",
            "quotient"])
    def test_edges_of_the_range(self, make, expected, device):
        assert reading(make(device)) == expected

    @pytest.mark.parametrize("make", [
        lambda d: MT.from_int(M - 1, (), d), lambda d: MT.from_int(M, (), d), lambda d: MT.from_int(M + 1, (), d),
        lambda d: MT.from_int(-M - 7, (), d), lambda d: MT.from_fraction(3, M + 2, (), d),
        lambda d: math.prod([MT.from_int(p, (), d) for p in BASIS[1:]], start=MT.from_int(BASIS[0], (), d)),
    ], ids=["M-1", "M", "M+1", "-M-7", "3/(M+2)", "product of the primes"])
    def test_beyond_the_range_yet_congruent_to_a_small_value(self, make, device):
        assert reading(make(device)) is None

    def test_long_products_of_small_fractions(self, device):
        factors = [Fraction(1025 + 2 * i, 2 + i % 4) for i in range(62)]
        exact = math.prod(factors)
        assert 550 <= exact.numerator.bit_length() <= 610
        x = math.prod([MT.from_fraction(f.numerator, f.denominator, (), device) for f in factors[1:]],
                      start=MT.from_fraction(factors[0].numerator, factors[0].denominator, (), device))
        assert reading(x) == exact
        assert reading(x * MT.from_int(2**60 + 1, (), device)) is None  # past the range

    def test_rump_polynomial(self, device):
        def rump(a, b, c):
            return (c(33375, 100) * b**6 + a**2 * (c(11) * a**2 * b**2 - b**6 - c(121) * b**4 - c(2))
                    + c(55, 10) * b**8 + a / (c(2) * b))
        exact = rump(Fraction(77617), Fraction(33096), Fraction)
        assert exact == Fraction(-54767, 66192)
        got = rump(MT.from_int(77617, (), device), MT.from_int(33096, (), device),
                   lambda n, d=1: MT.from_fraction(n, d, (), device))
        assert reading(got) == exact and got.simplify()._approx.item() == float32(exact)

    def test_muller_recurrence(self, device):
        def c(n):
            return MT.from_int(n, (), device)
        u, v, x, y = Fraction(2), Fraction(-4), c(2), c(-4)
        for n in range(150):
            u, v = v, 111 - 1130 / v + 3000 / (u * v)
            x, y = y, c(111) - c(1130) / y + c(3000) / (x * y)
            assert reading(y) == v if n < 30 else reading(y) in (v, None), n
        assert reading(y) is None

    def test_hilbert_determinants(self, device):
        for n in range(1, 6):
            rows = [[Fraction(1, i + j + 1) for j in range(n)] for i in range(n)]
            expected = Fraction(math.prod(math.factorial(k) for k in range(n)) ** 4,
                                math.prod(math.factorial(k) for k in range(2 * n)))
            assert reading(tensor_of(rows, device).det()) == expected, n


class TestBoundsAcrossPython:
    def test_records_of_the_same_tensors_keep_their_bounds(self, device):
        h, _ = running_harmonic(300, device)
        for y in (h, MT(h.num, h.denom, h.primes, h._approx), MT(h.num, h.denom), h.contiguous(), h.clone()):
            assert reading(y) is None and y.simplify() is y
        copy = h.clone()
        assert copy.num.data_ptr() != h.num.data_ptr() and h.contiguous() is h
        # Copies of the residues are a raw record: taken as in range and read literally.
        raw = MT(h.num.clone(), h.denom.clone())
        assert reading(raw) == Fraction(*pairs_of(raw))
        copy.num.add_(0)  # written in place: that half is raw, the other keeps its bound
        assert reading(copy) is None
        copy.denom.add_(0)
        assert reading(copy) == Fraction(*pairs_of(copy))

    def test_bounds_outlive_many_other_values(self, device):
        beyond = [MT.from_int(2**700 + k, (), device) for k in range(200)]
        for k in range(1500):  # many tensors made and dropped meanwhile
            MT.from_fraction(k, 7, (), device) + MT.from_int(k, (), device)
        for b in beyond:
            with pytest.raises(OverflowError):
                b.to_rational()

    def test_pickle_deepcopy_and_save_keep_what_is_readable(self, device):
        h, _ = running_harmonic(300, device)  # beyond the range: unreadable
        big = MT.from_fraction(2**600, 3**300, (2,), device)  # in range by its bounds only
        raw = MT(torch.full((kx.N_PRIMES, 2), -1, dtype=torch.int64).to(device), torch.ones(kx.N_PRIMES, 2, dtype=torch.int64).to(device))

        def save_load(t):
            buffer = io.BytesIO()
            torch.save(t, buffer)
            buffer.seek(0)
            return torch.load(buffer, weights_only=False)

        for round_trip in (lambda t: pickle.loads(pickle.dumps(t)), copy.deepcopy, copy.copy, save_load):
            h2, big2, raw2 = round_trip(h), round_trip(big), round_trip(raw)
            assert type(h2) is MT and h2.num.data_ptr() != 0
            assert reading(h2) is None and h2.simplify() is h2
            assert readings(big2) == [Fraction(2**600, 3**300)] * 2
            assert readings(raw2) == readings(raw) == [-1, -1]
            assert torch.equal(h2.num, h.num) and torch.equal(h2._approx, h._approx)

    def test_subclasses_pickle_as_objects_do(self, device):
        class Tagged(MT):
            pass

        globals()["Tagged"] = Tagged  # pickle finds classes by name
        Tagged.__qualname__ = "Tagged"
        try:
            t = Tagged(*(MT.from_fraction(3, 7, (2,), device).__getattribute__(f) for f in ("num", "denom")))
            t2 = pickle.loads(pickle.dumps(t))
            assert type(t2) is Tagged and readings(t2) == [Fraction(3, 7)] * 2
        finally:
            del globals()["Tagged"]

    def test_values_known_in_range_keep_reading(self, device):
        big = MT.from_fraction(2**600, 3**300, (2,), device)
        for y in (MT(big.num, big.denom, big.primes), big.clone(), big.contiguous(),
                  MT(big.num.clone(), big.denom.clone())):
            assert readings(y) == [Fraction(2**600, 3**300)] * 2

    def test_written_out_views_keep_their_bounds(self, device):
        running = tensor_of([Fraction(1, k) for k in range(1, 301)], device).cumsum(0).reshape(20, 15)
        got = readings(running)
        assert None in got and got.count(None) < len(got)  # some elements read, some do not
        t = running.T
        assert not t.num.is_contiguous() and t.contiguous().num.is_contiguous()
        assert readings(t.contiguous()) == readings(t) == [got[15 * i + j] for j in range(15) for i in range(20)]
