"""`zel flame --frames ALL` on a large capture: 1,000,000 frames with the 8 system
columns, 4 user columns and a flame frame every 1,000th frame (1,000 flame frames of
4 scopes on the main thread), recorded once by a child process.

Every case runs in a child of its own, which runs the command as its child and reports
its wall time and its peak resident set (getrusage of children, ru_maxrss): the cost
of `zel.load` alone, then `zel flame --frames ALL` to Perfetto (the default counters,
thinned out, none, all) and to speedscope. Prints wall seconds, peak MB and the size of
what was written.

Usage: python bench/flame_bench.py [FRAMES] [EVERY]
"""

import json
import os
import subprocess
import sys
import tempfile

RECORD = """
import math, zel
zel.enable()
frame, update, physics, draw = (zel.Scope(n) for n in ("frame", "update", "physics", "draw"))
for i in range({frames}):
    with frame:
        with update:
            with physics:
                pass
        with draw:
            pass
    zel.record_metric("loss", 2.0 * math.exp(-i / 200_000) + 0.01 * math.sin(i))
    zel.record_metric("lr", 0.001 if i < 500_000 else 0.0001)
    zel.record_metric("tokens", float(i % 977))
    zel.record_metric("step", float(i))
    zel.frame_mark()
zel.flush()
"""

# Runs argv[1:] as a child; prints its wall seconds and peak resident set in bytes.
MEASURE = """
import resource, subprocess, sys, time
start = time.perf_counter()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)
wall = time.perf_counter() - start
print(wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def record(path, frames, every):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    env.update(ZEL_RECORD=path, ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY=str(every))
    subprocess.run([sys.executable, "-c", RECORD.format(frames=frames)], env=env, check=True)


def measure(*argv):
    out = subprocess.run(
        [sys.executable, "-c", MEASURE, sys.executable, *argv],
        check=True,
        capture_output=True,
        text=True,
    )
    wall, rss = out.stdout.split()
    return float(wall), int(rss)


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    every = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    import zel

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.zel")
        record(path, frames, every)
        capture = zel.load(path)
        size = os.path.getsize(path)
        print(
            f"capture: {len(capture):,} frames, {len(capture.columns)} columns, "
            f"{len(capture.flame):,} flame frames, {size / 1e6:.1f} MB"
        )
        del capture
        out = os.path.join(tmp, "out.json")
        cases = [("zel.load alone", ["-c", f"import zel; zel.load({path!r})"], False)]
        flame = ["-m", "zel", "flame", path, "-o", out, "--frames", "ALL"]
        cases += [
            ("perfetto (counters span)", flame, True),
            ("perfetto --counter-every 10", [*flame, "--counter-every", "10"], True),
            ("perfetto --counters none", [*flame, "--counters", "none"], True),
            ("perfetto --counters all", [*flame, "--counters", "all"], True),
            ("speedscope", [*flame, "--format", "speedscope"], True),
        ]
        for name, argv, writes in cases:
            wall, rss = measure(*argv)
            line = f"{name:32s} {wall:7.2f} s  peak {rss / 1e6:7.1f} MB"
            if writes:
                with open(out, encoding="utf-8") as f:
                    doc = json.load(f)  # it opens
                events = len(doc.get("traceEvents", []))
                events += sum(len(p["events"]) for p in doc.get("profiles", []))
                line += f"  output {os.path.getsize(out) / 1e6:7.1f} MB, {events:,} events"
                os.unlink(out)
            print(line, flush=True)


if __name__ == "__main__":
    main()
