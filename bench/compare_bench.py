"""`zel compare` of two 1,000,000-frame captures, bootstrap included, and `zel summary`
(hitches and the slow-frame comparison included) on one of them: median wall time,
CPU time and peak resident memory of REPEAT runs of the command in a child process.
The captures are recorded once by child processes; the second run does a little more
work per frame, so that the two differ.

Usage: python bench/compare_bench.py [FRAMES] [REPEAT]
"""

import os
import statistics
import subprocess
import sys
import tempfile

from summary_bench import env, measured

RECORD = """
import zel
zel.enable()
x = 0
for i in range({frames}):
    for _ in range({work}):
        x += 1
    zel.record_metric("loss", 1.0 / (i + 1))
    zel.frame_mark()
zel.flush()
"""
GOALS = {"compare": 5.0}


def record(path, frames, work):
    code = RECORD.format(frames=frames, work=work)
    subprocess.run([sys.executable, "-c", code], env=env(ZEL_RECORD=path), check=True)


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    with tempfile.TemporaryDirectory() as tmp:
        base, new = os.path.join(tmp, "base.zel"), os.path.join(tmp, "new.zel")
        record(base, frames, 1)
        record(new, frames, 3)
        out = os.path.join(tmp, "out.txt")
        cases = {
            "compare": ["compare", base, new],
            "compare --fail-if": ["compare", base, new, "--fail-if", "p99_ms>+1000%"],
            "summary": ["summary", base],
        }
        print(f"{frames:,} frames per capture, median of {repeat}")
        for name, args in cases.items():
            runs = [measured(args, out) for _ in range(repeat)]
            wall = statistics.median(r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs)
            peak = statistics.median(r[2] for r in runs)
            goal = GOALS.get(name.split()[0])
            verdict = (
                ""
                if goal is None
                else f"  (goal {goal:g} s: {'met' if wall <= goal else 'MISSED'})"
            )
            print(
                f"  {name:<20} {wall:6.2f} s wall  {cpu:6.2f} s CPU  {peak:7.1f} MB peak{verdict}"
            )


if __name__ == "__main__":
    main()
