"""`zel scopes` on a capture of 100,000 flame frames of 100 scopes each (10 million
scope instances): a frame scope holding 9 systems of 10 tasks, the task names shared
by the systems, recorded once by a child process with a flame frame every frame.

Each command runs REPEAT times in a fresh child (`python -m zel ...`, output to a
file); reported are the median wall time, the child's CPU time beside it, and the
largest peak resident memory (ru_maxrss of the child). The goal: `zel scopes` within
10 s and 1 GB. `zel flame --merge` over the same frames is measured too.

Usage: python bench/scopes_bench.py [FRAMES] [REPEAT]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

from summary_bench import env, measured

RECORD = """
import zel
zel.enable()
frame = zel.Scope("frame")
systems = [zel.Scope(f"system{{i}}") for i in range(9)]
tasks = [zel.Scope(f"task{{j}}") for j in range(10)]
for i in range({frames}):
    with frame:
        for system in systems:
            with system:
                for task in tasks:
                    with task:
                        pass
    zel.frame_mark()
zel.flush()
"""

GOAL = (10.0, 1000)  # seconds, MB


def record(path, frames):
    code = RECORD.format(frames=frames)
    extra = {"ZEL_RECORD": path, "ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "1"}
    subprocess.run([sys.executable, "-c", code], env=env(**extra), check=True)


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "scopes.zel")
        start = time.perf_counter()
        record(path, frames)
        print(
            f"capture: {frames:,} frames with flame data, 100 scopes each, "
            f"{os.path.getsize(path) / 1e6:.1f} MB, recorded in {time.perf_counter() - start:.1f} s"
        )
        out = os.path.join(tmp, "out")
        folded = ["flame", path, "-o", out + ".folded", "--merge", "--frames", "ALL"]
        cases = [
            ("zel scopes", ["scopes", path], True),
            ("zel scopes --json", ["scopes", path, "--json"], True),
            (
                "zel scopes --by thread --sort p99",
                ["scopes", path, "--by", "thread", "--sort", "p99"],
                True,
            ),
            ("zel flame --merge (collapsed)", folded, False),
        ]
        for name, args, goal in cases:
            runs = [measured(args, out) for _ in range(repeat)]
            wall = statistics.median(r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs)
            peak = max(r[2] for r in runs)
            line = f"{name:36s} {wall:6.2f} s (cpu {cpu:6.2f} s)  peak {peak:7.1f} MB"
            if goal:
                met = wall <= GOAL[0] and peak <= GOAL[1]
                line += f"  goal {GOAL[0]:.0f} s, {GOAL[1]} MB: {'met' if met else 'MISSED'}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
