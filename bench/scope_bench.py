"""Cost of `with Scope(name): pass` against native no-op context managers, side by
side in one run, each net of a plain `pass` loop:

- a fresh Scope per block against a fresh `memoryview(b"")` per block;
- one reused Scope object against one reused, uncontended `threading.Lock()`;
- a call through `@zel.profile` against the same call undecorated, for a function
  and for a method.

Scopes are recorded as top-level scopes (each one hands its segment to the global
profiler). As in a frame loop, the profiler frame is closed after every 1,000
blocks, outside the timing.
Run it with ZEL_RECORD unset. Usage: python bench/scope_bench.py [loops] [runs]
"""

import statistics
import sys
import threading
import timeit

import _zel
from zel import profile

_zel.enable()  # scopes on; with ZEL_RECORD unset nothing is recorded to a file

LOOPS = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 9
FRAME = 1000  # blocks per profiler frame

CASES = {
    "pass": ("pass", "pass"),
    "fresh memoryview": ("pass", 'with memoryview(b""):\n    pass'),
    "fresh Scope": ("pass", 'with Scope("name"):\n    pass'),
    "reused Lock": ("lock = threading.Lock()", "with lock:\n    pass"),
    "reused Scope": ('s = Scope("name")', "with s:\n    pass"),
    "plain call": ("", "f(1)"),
    "profiled call": ("", "pf(1)"),
    "plain method": ("o = C()", "o.m(1)"),
    "profiled method": ("o = C()", "o.pm(1)"),
}


def f(x):
    return x


class C:
    def m(self, x):
        return x

    pm = profile(m)


def main():
    env = {"Scope": _zel.Scope, "threading": threading, "f": f, "pf": profile(f), "C": C}
    timers = {k: timeit.Timer(stmt, setup, globals=env) for k, (setup, stmt) in CASES.items()}
    samples = {k: [] for k in CASES}
    for _ in range(RUNS):  # interleaved, so drift affects every case alike
        for name, timer in timers.items():
            total = 0.0
            for _ in range(LOOPS // FRAME):
                total += timer.timeit(FRAME)
                _zel.frame_mark()
            samples[name].append(total / (LOOPS // FRAME * FRAME) * 1e9)
    med = {k: statistics.median(v) for k, v in samples.items()}
    floor = med["pass"]
    print(f"{'case':<18}{'median ns':>10}{'net ns':>9}")
    for name, ns in med.items():
        print(f"{name:<18}{ns:>10.1f}{ns - floor:>9.1f}")
    for ours, native in (("fresh Scope", "fresh memoryview"), ("reused Scope", "reused Lock")):
        ratio = (med[ours] - floor) / (med[native] - floor)
        print(f"{ours} / {native}: {ratio:.2f}x (goal <= 1.5x)")
    for ours, plain in (("profiled call", "plain call"), ("profiled method", "plain method")):
        print(f"{ours} - {plain}: {med[ours] - med[plain]:.1f} ns (goal <= 200 ns)")


if __name__ == "__main__":
    main()
