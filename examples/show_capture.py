"""Prints what a .zel capture holds: its frames and columns, per-column statistics,
the slowest frames, and the flame frames with the scope names they carry.

Usage: python examples/show_capture.py CAPTURE.zel
"""

import statistics
import struct
import sys

from zel import Reader


def scope_names(flame):
    """The scope names listed in a flame frame's scope section, which follows the
    frame's meta and packed streams uncompressed."""
    pos = 4  # "PFD4"
    for skip_kind in (0, 1):  # meta, then the packed streams after their kind byte
        (length,) = struct.unpack_from("<I", flame, pos)
        pos += 4 + length + skip_kind
    pos += 4
    section_end = len(flame)

    def uint():
        nonlocal pos
        first = flame[pos]
        pos += 1
        if first <= 250:
            return first
        fmt = {0xFB: "<H", 0xFC: "<I", 0xFD: "<Q"}[first]
        (value,) = struct.unpack_from(fmt, flame, pos)
        pos += struct.calcsize(fmt)
        return value

    def text():
        nonlocal pos
        n = uint()
        pos += n
        return flame[pos - n : pos].decode()

    names = []
    for _ in range(uint()):
        if flame[pos]:  # optional id
            pos += 1
            uint()
        else:
            pos += 1
        present = flame[pos]
        pos += 1
        scope_name = text() if present else None
        function_name = text()
        text()  # file path
        uint()  # line
        names.append(scope_name if scope_name is not None else function_name)
    assert pos == section_end, "scope section does not end the flame frame"
    return names


def main(path):
    reader = Reader(path)
    frames = list(reader)
    print(f"\n{path}: {len(frames)} frames, flame capture {'on' if reader.flame_enabled else 'off'}")
    if not frames:
        return
    times = [f.system[0] for f in frames[1:]]  # the first frame has no predecessor
    if times:
        print(f"{sum(times) / 1000:.2f} s recorded, mean {1000 / statistics.fmean(times):.1f} FPS, "
              f"frame time median {statistics.median(times):.2f} ms, max {max(times):.2f} ms")

    print(f"\n{'column':<16}{'unit':<10}{'min':>10}{'mean':>10}{'max':>10}")
    columns = [(n, u, [f.system[i] for f in frames]) for i, (n, u) in enumerate(reader.columns)]
    columns[0] = (*columns[0][:2], times)
    columns += [(n, u, [f.user[n] for f in frames if n in f.user]) for n, u in reader.user_columns]
    for name, unit, values in columns:
        if values:
            print(f"{name:<16}{unit:<10}{min(values):>10.2f}{statistics.fmean(values):>10.2f}"
                  f"{max(values):>10.2f}")

    slowest = sorted(range(1, len(frames)), key=lambda i: frames[i].system[0])[-3:]
    print("\nslowest frames: "
          + ", ".join(f"#{i} ({frames[i].system[0]:.1f} ms)" for i in reversed(slowest)))

    flames = [f.flame for f in frames if f.flame is not None]
    if flames:
        names = sorted({n for flame in flames for n in scope_names(flame)})
        print(f"flame frames: {len(flames)} of {len(frames)}, "
              f"{statistics.fmean(len(f) for f in flames):.0f} bytes each on average")
        print("scopes named in them: " + ", ".join(names))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo.zel")
