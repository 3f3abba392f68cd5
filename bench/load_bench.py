"""Loading and exporting a large capture: 1,000,000 frames with the 8 system columns
and 4 user columns, no flame frames, recorded once by a child process.

Reports the median of REPEAT runs of: zel.load into NumPy arrays, a plain Reader
iteration building the same columns in Python (what load replaces), and the exports.

Usage: python bench/load_bench.py [FRAMES] [REPEAT]
"""

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
    zel.record_metric("loss", i * 0.5)
    zel.record_metric("lr", 0.001)
    zel.record_metric("tokens", float(i % 977))
    zel.record_metric("grad_norm", 1.0 / (i + 1))
    zel.frame_mark()
zel.flush()
"""


def record(path, frames):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    env["ZEL_RECORD"] = path
    subprocess.run([sys.executable, "-c", RECORD.format(frames=frames)], env=env, check=True)


def by_iteration(path):
    import _zel

    reader = _zel.Reader(path)
    system, user = [], {}
    for n, frame in enumerate(reader):
        system.append(frame.system)
        for name, value in frame.user.items():
            user.setdefault(name, {})[n] = value
    return len(system)


def timed(f, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    import zel

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.zel")
        record(path, frames)
        size = os.path.getsize(path)
        capture = zel.load(path)
        assert len(capture) == frames and len(capture.columns) == 12, capture
        kind = type(capture.columns["frame_ms"]).__name__
        per_frame = size / frames
        print(
            f"capture: {frames:,} frames, 12 columns, {size / 1e6:.1f} MB ({per_frame:.1f} B/frame)"
        )
        cases = [("zel.load (columns as " + kind + ")", lambda: zel.load(path))]
        cases.append(("Reader iteration into lists", lambda: by_iteration(path)))
        from zel.export import csv, jsonl, parquet

        for module in (csv, jsonl, parquet):
            ext = module.__name__.rsplit(".", 1)[-1]
            out = os.path.join(tmp, "out." + ext)

            def export(module=module, out=out):
                module.write(zel.load(path), out)

            cases.append((f"load + export {ext}", export))
        for name, f in cases:
            try:
                med, lo, hi = timed(f, repeat)
            except ImportError as e:
                print(f"{name:40s} skipped: {e}")
                continue
            print(f"{name:40s} median {med:7.3f} s  (min {lo:.3f}, max {hi:.3f}, {repeat} runs)")


if __name__ == "__main__":
    main()
