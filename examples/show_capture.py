"""Prints what a .zel capture holds: its columns, a few frames, per-column statistics
and the frames that carry flame data.

Usage: python examples/show_capture.py CAPTURE.zel
"""

import statistics
import sys

from zel import Reader


def main(path):
    reader = Reader(path)
    frames = list(reader)
    print(f"{path}: {len(frames)} frames, flame capture {'on' if reader.flame_enabled else 'off'}")
    print("system columns:", ", ".join(f"{n} [{u}]" for n, u in reader.columns))
    print("user columns:  ", ", ".join(f"{n} [{u}]" if u else n for n, u in reader.user_columns))
    if not frames:
        return
    print("\nfirst frames:")
    for i, f in enumerate(frames[:3]):
        print(f"  #{i}: frame_ms={f.system[0]:.2f} user={f.user}")

    print(f"\n{'column':<16}{'unit':<7}{'min':>10}{'mean':>10}{'max':>10}")
    columns = [(n, u, [f.system[i] for f in frames]) for i, (n, u) in enumerate(reader.columns)]
    columns += [(n, u, [f.user[n] for f in frames if n in f.user]) for n, u in reader.user_columns]
    for name, unit, values in columns:
        if values:
            print(f"{name:<16}{unit:<7}{min(values):>10.2f}{statistics.fmean(values):>10.2f}"
                  f"{max(values):>10.2f}")

    flames = [len(f.flame) for f in frames if f.flame is not None]
    if flames:
        print(f"\nflame frames: {len(flames)} of {len(frames)}, "
              f"{statistics.fmean(flames):.0f} bytes each on average")

    times = [f.system[0] for f in frames[1:]]  # the first frame has no predecessor
    if times:
        slowest = sorted(range(1, len(frames)), key=lambda i: frames[i].system[0])[-3:]
        print(f"\nmean FPS {1000 / statistics.fmean(times):.1f}; slowest frames: "
              + ", ".join(f"#{i} ({frames[i].system[0]:.1f} ms)" for i in reversed(slowest)))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo.zel")
