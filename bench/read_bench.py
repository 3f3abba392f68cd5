"""Python iteration speed over a .zel stream: median frames/s of REPEAT full passes.

Usage: python bench/read_bench.py [PATH] [REPEAT]
"""

import statistics
import sys
import time

import _zel


def one_pass(path):
    start = time.perf_counter()
    n = 0
    for _frame in _zel.Reader(path):
        n += 1
    return n, time.perf_counter() - start


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/zel-bench.zel"
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    runs = [one_pass(path) for _ in range(repeat)]
    frames = runs[0][0]
    rates = [n / t for n, t in runs]
    print(
        f"python Reader iteration: {frames} frames, "
        f"median {statistics.median(rates):,.0f} frames/s "
        f"(min {min(rates):,.0f}, max {max(rates):,.0f}, {repeat} passes)"
    )


if __name__ == "__main__":
    main()
