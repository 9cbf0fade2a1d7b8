"""Each distinct code path of the operators and reductions, checked by value.

The arithmetic kernels walk contiguous rows directly (split across threads
for large results) and go through an iterator for broadcast or strided
operands; the sum reduces chunks of 64 on the host; large work runs with the
interpreter lock released.  Expectations come from the literal formulas in
plain torch operations and from fractions.Fraction.
"""
import math
import operator
import threading
from fractions import Fraction

import pytest
import torch

from support import BASIS, column, literal_binary, residues
from varnix.orvo.kalvex import ModularTensor as MT

PRIMES = torch.tensor(BASIS, dtype=torch.int64)
OPS = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}


def record(num, den, device):
    """A ModularTensor of the fractions num/den (int64 tensors of one shape), unreduced as given."""
    P = PRIMES.view(-1, *([1] * num.dim()))
    return MT((num % P).to(device), (den % P).to(device), None, (num / den).float().to(device))


def random_fractions(shape, seed, bound=2**62):
    """Numerators of both signs and positive denominators below `bound`, as int64 tensors."""
    gen = torch.Generator().manual_seed(seed)
    return torch.randint(-bound, bound, shape, generator=gen), torch.randint(1, bound, shape, generator=gen)


# Operand layouts: (shape of the base tensor, view of it); a view takes
# (tensor, number of leading prime axes).
SAME = lambda t, k: t  # noqa: E731
VIEW_CASES = {
    "broadcast both": (((3, 1), SAME), ((1, 4), SAME)),
    "transposed": (((4, 3), lambda t, k: t.transpose(k, k + 1)), ((3, 4), SAME)),
    "every other column": (((3, 8), lambda t, k: t[(slice(None),) * (k + 1) + (slice(None, None, 2),)]),
                           ((3, 4), lambda t, k: t.transpose(k, k + 1).contiguous().transpose(k, k + 1))),
    "expanded": (((1, 4), lambda t, k: t.expand(*t.shape[:k], 3, 4)), ((3, 4), SAME)),
    "strided against broadcast": (((5, 6), lambda t, k: t[(slice(None),) * k + (slice(1, None, 2), slice(0, 6, 3))]),
                                  ((1, 2), SAME)),
    "large broadcast": (((300, 1), SAME), ((1, 230), SAME)),
    # Long rows, split into blocks; an odd length leaves every other row
    # start unaligned.
    "long odd rows": (((40_001,), SAME), ((40_001,), SAME)),
}


@pytest.mark.parametrize("case", list(VIEW_CASES))
def test_operators_on_views(case, device):
    (x_shape, x_view), (y_shape, y_view) = VIEW_CASES[case]
    (xn, xd), (yn, yd) = random_fractions(x_shape, len(case)), random_fractions(y_shape, len(case) + 1)
    # The first result position compares a value with itself times 3/3, so == sees both outcomes.
    i, j = (int(view(torch.arange(math.prod(shape)).view(shape), 0).reshape(-1)[0]) for shape, view in
            VIEW_CASES[case])
    x, y = record(xn, xd, device), record(yn, yd, device)
    for part in ("num", "denom"):
        getattr(y, part).view(len(BASIS), -1)[:, j] = 3 * getattr(x, part).view(len(BASIS), -1)[:, i] % y.primes
    y._approx.view(-1)[j] = x._approx.view(-1)[i]
    x = MT(x_view(x.num, 1), x_view(x.denom, 1), None, x_view(x._approx, 0))
    y = MT(y_view(y.num, 1), y_view(y.denom, 1), None, y_view(y._approx, 0))
    host_x, host_y = MT(x.num.cpu(), x.denom.cpu()), MT(y.num.cpu(), y.denom.cpu())
    for op, fn in OPS.items():
        result = fn(x, y)
        num, den = literal_binary(op, host_x, host_y)
        assert result.shape == num.shape[1:], op
        assert torch.equal(result.num.cpu(), num) and torch.equal(result.denom.cpu(), den), op
    flags = (x == y).cpu()
    assert flags.dtype == torch.bool and torch.equal(flags, literal_binary("==", host_x, host_y))
    assert flags.reshape(-1)[0] and not flags.all()
    negated = -x
    assert torch.equal(negated.num.cpu(), -host_x.num % PRIMES.view(-1, *[1] * x._approx.dim()))
    assert torch.equal(negated.denom.cpu(), host_x.denom)


@pytest.mark.parametrize("count, low, high", [(64, -10**6, 10**6), (128, -10**6, 10**6), (64 * 3 + 5, -10**6, 10**6),
                                              (64, 2**39, 2**40)])
def test_chunk_sums_beyond_the_range_are_exact_in_lowest_terms(count, low, high, device):
    # Denominators 2^11 and 3^7 alternate: no common denominator, so the
    # chunked path runs; a chunk's unreduced denominator has some 700 bits, the
    # reduced one at most 23.  Numerators near 2^40 take the unreduced
    # numerator out of range too.
    num = torch.randint(low, high, (count,), generator=torch.Generator().manual_seed(count + low))
    den = torch.tensor([2**11 if i % 2 else 3**7 for i in range(count)])
    assert math.prod(den[:64].tolist()).bit_length() > 620
    expected = sum(map(Fraction, num.tolist(), den.tolist()))
    s = record(num, den, device).sum()
    assert s.shape == (1,) and Fraction(*s.to_rational()) == expected
    assert column(s.num, (0,)) == residues(expected.numerator)
    assert column(s.denom, (0,)) == residues(expected.denominator)


def test_threads_get_what_serial_calls_get(device):
    """Operations that release the interpreter lock give, from several Python
    threads at once, exactly what they give one after another."""
    gen = torch.Generator().manual_seed(11)

    def captured(*shape):
        return MT.from_tensor(torch.randn(*shape, dtype=torch.float64, generator=gen), device)

    x, y, m, k = captured(20_000), captured(20_000), captured(200, 400), captured(400, 30)  # well above the threshold
    steps = torch.arange(5000)
    mixed = record(steps % 97 - 48, steps % 12 + 1, device)
    work = [lambda: x + y, lambda: x - y, lambda: x * y, lambda: x / y, lambda: -x, lambda: x == y, lambda: x.sum(),
            lambda: x.dot(y), lambda: mixed.sum(), lambda: m.sum(dim=1), lambda: m.matmul(k)]

    def outcome(result):
        return [result.cpu()] if isinstance(result, torch.Tensor) else [result.num.cpu(), result.denom.cpu()]

    serial = [outcome(fn()) for fn in work]
    results, errors = {}, []

    def run(thread):
        try:  # every thread runs the whole list, each starting at another place
            for j in range(len(work)):
                index = (thread + j) % len(work)
                results[(thread, index)] = outcome(work[index]())
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert len(results) == 4 * len(work)
    for (thread, index), got in results.items():
        assert all(torch.equal(g, w) for g, w in zip(got, serial[index])), (thread, index)
