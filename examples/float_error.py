"""Where float32 and float64 go wrong, set against the exact values: the order
of a long sum, Rump's polynomial, Muller's recurrence and the one-pass variance.

Prints a table of the float32, float64 and exact results and draws them in a
2x2 picture. Every exact result is checked against fractions.Fraction.

Run from the repository root after building (needs matplotlib):
    PYTHONPATH=. /usr/bin/python3 examples/float_error.py [OUTPUT.png]

OUTPUT.png defaults to docs/float_error.png in the repository.
"""
import argparse
import os
from fractions import Fraction

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402

from varnix.orvo.kalvex import ModularTensor  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
device = "cuda" if torch.cuda.is_available() else "cpu"
FLOATS = {"float32": torch.float32, "float64": torch.float64}
FLOOR = 1e-18  # relative errors of 0 are drawn here, on the log axes

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("output", nargs="?", default=os.path.join(ROOT, "docs", "float_error.png"),
                    help="where to write the PNG (default: docs/float_error.png)")
output = parser.parse_args().output


def exact_constant(value):
    """A number as a one-element ModularTensor. Fractions are passed as such:
    a plain float operand would be cut to an integer (x + 2.75 adds 2)."""
    q = Fraction(value)
    return ModularTensor.from_fraction(q.numerator, q.denominator, (), device)


def float_constant(dtype):
    return lambda value: torch.tensor(value, dtype=dtype, device=device)


def read(exact):
    """The value of a one-element ModularTensor as a Fraction."""
    return Fraction(*exact.to_rational())


def relative_error(value, exact):
    return max(float(abs(Fraction(value) - exact) / abs(exact)), FLOOR)


rows = []  # (computation, float32, float64, exact), printed at the end


def row(name, f32, f64, exact):
    rows.append((name, "%.9g" % f32, "%.17g" % f64, exact))


# 1. One list of 100000 values, summed in different orders. The values are
# float32 numbers of both signs from 1e-3 to 1e5, so float32 and float64 add
# exactly the same list, and so does the exact sum.
gen = torch.Generator().manual_seed(1)
n = 100_000
magnitude = 10 ** (8 * torch.rand(n, dtype=torch.float64, generator=gen) - 3)
sign = torch.where(torch.rand(n, generator=gen) < 0.5, -1.0, 1.0).double()
x = (sign * magnitude).float().double()

exact_sum = read(ModularTensor.from_tensor(x, device).sum())
assert exact_sum == sum(map(Fraction, x.tolist()))

values = x.numpy()
orders = {
    "forwards": values,
    "backwards": values[::-1],
    "smallest |x|\nfirst": values[np.argsort(np.abs(values), kind="stable")],
    "largest |x|\nfirst": values[np.argsort(-np.abs(values), kind="stable")],
    "sorted\n(ascending)": np.sort(values),
}
sums = {}  # ordering -> {precision: float result}
for order, ordered in orders.items():
    # np.cumsum adds one value after the other in the given precision.
    sums[order] = {name: float(np.cumsum(ordered.astype(name), dtype=name)[-1]) for name in FLOATS}
sums["torch.sum\n(pairwise)"] = {name: x.to(device, dtype).sum().item() for name, dtype in FLOATS.items()}
for order, result in sums.items():
    row("sum, " + order.replace("\n", " "), result["float32"], result["float64"], "%.17g" % exact_sum)

# 2. Rump's polynomial at a = 77617, b = 33096: the terms reach 1e36 and cancel
# to -2, leaving a / (2b). One formula, evaluated in each arithmetic.


def rump(a, b, c):
    return (c(333.75) * b ** 6 + a ** 2 * (c(11) * a ** 2 * b ** 2 - b ** 6 - c(121) * b ** 4 - c(2))
            + c(5.5) * b ** 8 + a / (c(2) * b))


rump_float = {name: rump(c(77617.0), c(33096.0), c).item()
              for name, c in ((name, float_constant(dtype)) for name, dtype in FLOATS.items())}
rump_exact = rump(exact_constant(77617), exact_constant(33096), exact_constant)
rump_value = read(rump_exact)
assert rump_value == rump(Fraction(77617), Fraction(33096), Fraction) == Fraction(-54767, 66192)
row("Rump's f(77617, 33096)", rump_float["float32"], rump_float["float64"],
    "%s = %.17g" % (rump_value, rump_value))

# 3. Muller's recurrence x[n+1] = 108 - (815 - 1500 / x[n-1]) / x[n], x[0] = 4,
# x[1] = 4.25. Its fixed points are 5, 100 and 3; these starting values lead to
# 5, but the smallest rounding error wakes the part that grows toward 100.
steps = 30


def muller(c):
    xs = [c(4), c(4.25)]
    for _ in range(steps - 1):
        xs.append(c(108) - (c(815) - c(1500) / xs[-2]) / xs[-1])
    return xs


muller_float = {name: [v.item() for v in muller(float_constant(dtype))] for name, dtype in FLOATS.items()}
muller_exact = [read(v) for v in muller(exact_constant)]  # every x[n], read back exactly
assert muller_exact == muller(Fraction)
for k in (10, 15, 20, steps):
    row("Muller x[%d]" % k, muller_float["float32"][k], muller_float["float64"][k],
        "%.17g" % muller_exact[k])

# 4. The one-pass variance E[x^2] - E[x]^2 of offset + noise. The noise is
# 10000 multiples of 1/1024 in [0, 1), so the data are exact in float64 for
# every offset here (in float32 up to 1e4), and the exact variance is the same
# for every offset: that of the noise.
gen = torch.Generator().manual_seed(2)
noise = torch.randint(0, 1024, (10_000,), generator=gen, dtype=torch.float64) / 1024
noise_values = [Fraction(v) for v in noise.tolist()]
noise_mean = sum(noise_values) / len(noise_values)
noise_variance = sum((v - noise_mean) ** 2 for v in noise_values) / len(noise_values)

offsets = [10.0 ** k for k in range(11)]
variance_errors = {"float32, one-pass": [], "float64, one-pass": [], "float64, torch.var": []}
variance_rows = {}
for offset in offsets:
    data = offset + noise
    captured = ModularTensor.from_tensor(data, device)
    exact_variance = read(captured.var(correction=0))
    assert exact_variance == noise_variance
    # The one-pass formula itself is right: evaluated exactly it is the variance.
    count = ModularTensor.from_int(len(data), (1,), device)
    mean = captured.sum() / count
    assert read((captured * captured).sum() / count - mean * mean) == exact_variance

    one_pass = {}
    for name, dtype in FLOATS.items():
        d = data.to(device, dtype)  # float32 rounds the data too, beyond 1e4
        one_pass[name] = ((d * d).mean() - d.mean() ** 2).item()
        variance_errors[name + ", one-pass"].append(relative_error(one_pass[name], exact_variance))
    two_pass = torch.var(data.to(device), unbiased=False).item()
    variance_errors["float64, torch.var"].append(relative_error(two_pass, exact_variance))
    variance_rows[offset] = (one_pass, exact_variance)
for offset in (1e4, 1e8):
    one_pass, exact_variance = variance_rows[offset]
    row("one-pass variance, offset %.0e" % offset, one_pass["float32"], one_pass["float64"],
        "%.17g" % exact_variance)

# The table.
print("device:", device)
table = [("computation", "float32", "float64", "exact (to 17 digits)")] + rows
widths = [max(len(r[i]) for r in table) for i in range(4)]
for r in table:
    print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())

# The picture.
colors = {"float32": "tab:red", "float64": "tab:blue", "exact": "black"}
fig, axes = plt.subplots(2, 2, figsize=(11, 8.5))

ax = axes[0, 0]
positions = np.arange(len(sums))
for i, name in enumerate(FLOATS):
    errors = [relative_error(result[name], exact_sum) for result in sums.values()]
    ax.bar(positions + (i - 0.5) * 0.4, errors, 0.4, label=name, color=colors[name])
ax.set_xticks(positions)
ax.set_xticklabels(list(sums), fontsize=8)
ax.set_yscale("log")
ax.set_ylim(bottom=FLOOR)
ax.set_ylabel("relative error of the sum (0 drawn at %g)" % FLOOR)
ax.set_title("One sum of %d values, added in different orders" % n)
ax.legend(loc="upper left")

ax = axes[0, 1]
labels = ["float32", "float64", "exact"]
heights = [rump_float["float32"], rump_float["float64"], float(rump_value)]
bars = ax.bar(labels, heights, color=[colors[label] for label in labels])
ax.set_yscale("symlog", linthresh=1)
for bar, label, value in zip(bars, labels, heights):
    text = "%s\n= %.4g" % (rump_value, value) if label == "exact" else "%.4g" % value
    ax.annotate(text, (bar.get_x() + bar.get_width() / 2, 0), xytext=(0, 6), textcoords="offset points",
                ha="center", va="bottom", fontsize=9)
ax.axhline(0, color="gray", linewidth=0.8)
ax.set_ylim(-1e32, 1e32)
ax.set_yticks([-1e30, -1e20, -1e10, 0, 1e10, 1e20, 1e30])
ax.set_ylabel("f(77617, 33096)  (symmetric log scale)")
ax.set_title("Rump's polynomial: 333.75 b\u2076 + a\u00b2(11a\u00b2b\u00b2 \u2212 b\u2076 \u2212 121b\u2074 \u2212 2)"
             "\n + 5.5 b\u2078 + a/(2b)", fontsize=10)

ax = axes[1, 0]
steps_axis = np.arange(steps + 1)
for name in FLOATS:
    ax.plot(steps_axis, muller_float[name], "o-", markersize=3, color=colors[name], label=name)
ax.plot(steps_axis, [float(v) for v in muller_exact], "o-", markersize=3, color=colors["exact"], label="exact")
ax.set_ylim(0, 110)
ax.set_xlabel("n")
ax.set_ylabel("x[n]  (axis cut at 0 and 110)")
ax.set_title("Muller's recurrence x[n+1] = 108 \u2212 (815 \u2212 1500/x[n\u22121]) / x[n]\n"
             "x[0] = 4, x[1] = 4.25: the exact sequence tends to 5", fontsize=10)
ax.legend(loc="center right")

ax = axes[1, 1]
styles = {"float32, one-pass": ("o-", colors["float32"]), "float64, one-pass": ("o-", colors["float64"]),
          "float64, torch.var": ("s--", "tab:green")}
for label, errors in variance_errors.items():
    style, color = styles[label]
    ax.plot(offsets, errors, style, markersize=4, color=color, label=label)
ax.axhline(1, color="gray", linestyle=":", linewidth=1, label="error as large as the variance")
ax.set_xscale("log")
ax.set_yscale("log")
ax.set_ylim(bottom=FLOOR)
ax.set_xlabel("offset of the data (offset + noise in [0, 1))")
ax.set_ylabel("relative error of the variance (0 drawn at %g)" % FLOOR)
ax.set_title("Variance as E[x\u00b2] \u2212 E[x]\u00b2 of %d values" % len(noise), fontsize=10)
ax.legend(loc="upper left", fontsize=9)

fig.suptitle("float32 and float64 against the exact values (kalvex)", fontsize=13)
fig.tight_layout()
if os.path.dirname(output):
    os.makedirs(os.path.dirname(output), exist_ok=True)
fig.savefig(output, dpi=100)
print("wrote", output)
