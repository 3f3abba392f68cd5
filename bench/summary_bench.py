"""`zel summary` and `zel report` on a capture with a new metric name every frame:
20,000 frames, each with one value of a name no other frame uses
(`record_metric(f"loss_step_{i}", x)`), recorded by a child process.

Each command runs REPEAT times in a fresh child (`python -m zel ...`, output to a
file); reported are the median wall time and the largest peak resident memory
(ru_maxrss of that child), and for the report the size of the page. CPU time (user
and system, of the child) is given beside the wall time, which a busy machine
stretches. The goals:
summary within 2 s and 500 MB, a report page of at most 5 MB.

Usage: python bench/summary_bench.py [FRAMES] [REPEAT]
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

RECORD = """
import zel
zel.enable()
for i in range({frames}):
    zel.record_metric(f"loss_step_{{i}}", 1.0 / (i + 1))
    zel.frame_mark()
zel.flush()
"""

GOALS = {"summary": (2.0, 500), "summary --json": (2.0, 500)}
PAGE_LIMIT_MB = 5.0


def env(**extra):
    out = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    return {**out, **extra}


def record(path, frames):
    code = RECORD.format(frames=frames)
    subprocess.run([sys.executable, "-c", code], env=env(ZEL_RECORD=path), check=True)


def measured(args, out):
    """(wall seconds, CPU seconds, peak resident MB) of `python -m zel ARGS` with
    stdout to `out`."""
    with open(out, "w") as f:
        start = time.perf_counter()
        child = subprocess.Popen([sys.executable, "-m", "zel", *args], stdout=f, env=env())
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"zel {' '.join(args)} failed with status {child.returncode}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024  # KiB on Linux


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "names.zel")
        start = time.perf_counter()
        record(path, frames)
        took = time.perf_counter() - start
        size = os.path.getsize(path) / 1e6
        print(f"capture: {frames:,} frames, {frames:,} names used once, {size:.1f} MB "
              f"(recorded in {took:.2f} s)")  # fmt: skip
        page = os.path.join(tmp, "report.html")
        cases = [
            ("summary", ["summary", path]),
            ("summary --json", ["summary", "--json", path]),
            ("report", ["report", path, "-o", page]),
        ]
        failed = False
        for name, args in cases:
            out = os.path.join(tmp, "out.txt")
            runs = [measured(args, out) for _ in range(repeat)]
            seconds = statistics.median(r[0] for r in runs)
            cpu = statistics.median(r[1] for r in runs)
            peak = max(r[2] for r in runs)
            line = f"zel {name:16s} median {seconds:5.2f} s (CPU {cpu:5.2f} s)  peak {peak:4.0f} MB"
            if name == "report":
                mb = os.path.getsize(page) / 1e6
                line += f"  page {mb:.2f} MB"
                failed |= mb > PAGE_LIMIT_MB
            if name == "summary --json":
                with open(out) as f:
                    listed = len(json.load(f)["columns"])
                line += f"  {listed:,} columns listed"
                failed |= listed != frames + 8
            if name in GOALS:
                failed |= seconds > GOALS[name][0] or peak > GOALS[name][1]
            print(line + f"  ({repeat} runs)")
        print("goals: summary <= 2 s and <= 500 MB, report page <= 5 MB: " +
              ("missed" if failed else "met"))  # fmt: skip
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
