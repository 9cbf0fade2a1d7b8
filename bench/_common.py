"""Shared helpers of the benchmarks: allocator setting, timing, printing."""
import math
import os
import sys
import time

ALLOCATOR_ENV = {
    "MALLOC_MMAP_MAX_": "0",
    "MALLOC_TRIM_THRESHOLD_": str(1 << 40),
    "MALLOC_TOP_PAD_": str(1 << 30),
}


def reuse_freed_memory():
    """Re-executes this script with glibc's allocator keeping freed memory.

    Every first touch of a fresh page costs about 10 us per 4 KiB here, which
    would dwarf the arithmetic being measured; with these settings large
    buffers are recycled inside the process instead of returned to the kernel.
    """
    if any(os.environ.get(k) != v for k, v in ALLOCATOR_ENV.items()):
        os.environ.update(ALLOCATOR_ENV)
        os.execv(sys.executable, [sys.executable] + sys.argv)
    print("allocator: glibc reusing freed memory (" + " ".join(f"{k}={v}" for k, v in ALLOCATOR_ENV.items()) + ")")


def best_of(fn, repeat=5, number=1):
    """Best wall time of one call of fn, in seconds."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def per_call(fn, min_time=0.5):
    """Best seconds per call of fn, for calls too short to time one by one:
    loops of about min_time / 5 seconds, best of five."""
    loops, start = 1, time.perf_counter()
    fn()
    while time.perf_counter() - start < 0.05:
        loops *= 2
        start = time.perf_counter()
        for _ in range(loops):
            fn()
    loops = max(1, int(loops * min_time / 0.05 / 5))
    best = math.inf
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - start) / loops)
    return best


def once(fn):
    """(seconds, result) of one call of fn: for references too slow to repeat."""
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def row(label, ours, reference, unit="ms"):
    scale = {"ms": 1e3, "us": 1e6}[unit]
    print(f"  {label:<44} {ours * scale:10.3f} {unit}  vs {reference * scale:10.3f} {unit}   {reference / ours:6.1f}x")
