"""zel against the tools a user would pick instead, side by side in one run.

- Scopes around `pass`: zel's Scope and @profile, nvtx.annotate as context manager and
  decorator, viztracer's log_event and log_sparse with a tracer alive, against the
  native no-op floors of bench/scope_bench.py (a reused uncontended threading.Lock, a
  fresh memoryview(b"")) and a plain Python wrapper around that Lock for decorators.
  Each figure is net of a loop of `pass` (context managers) or of a plain call of an
  undecorated function (decorators), both measured in processes that load no peer.
- A frame of 4 scalars written to a file: record_metric x4 + frame_mark (armed),
  tensorboardX add_scalar x4, rerun log x4 (and one Scalars of 4) to an .rrd, one
  csv.writer row. Foreground time of the loop, time to flush/close, their sum, and
  the CPU time of the whole process (every thread) over both.
- Bytes on disk per frame, once flushed/closed.
- Reading the frames back into Python: every reader ends with the four series.

Every case runs in a fresh child process, the cases interleaved over several rounds
(the order rotating from round to round); medians across rounds. Readers check the
series they return (frame count, sum of the frame-index series), so a figure is never
that of a reader that lost frames.

Run it through bench/peers.sh, which makes the virtual environment it needs.
Usage: python bench/peers.py [--quick] [--rounds N] [--frames N] [--loops N]
"""

import argparse
import csv
import datetime
import json
import math
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

NAMES = ("loss", "lr", "particles", "draw_calls")  # draw_calls holds the frame index
FRAME = 1000  # scope blocks between two frame marks, as in a frame loop

# ---------------------------------------------------------------------------------------
# Scopes. Each case: (setup, statement, baseline). Setup may bind `between_frames`, which
# runs after every FRAME blocks, outside the timing.

_ZEL = "import zel\nzel.enable()\nbetween_frames = zel.frame_mark\n"
_VIZ = (
    "from viztracer import VizTracer, log_sparse\ntracer = VizTracer(log_sparse=True, verbose=0)\n"
)
_LOCK = "import threading\nlock = threading.Lock()\n"
_WITH = "with {}:\n    pass"

SCOPES = {
    "pass": ("", "pass", None),
    "plain call f()": ("def f(): pass", "f()", None),
    "floor: reused Lock": (_LOCK, _WITH.format("lock"), "pass"),
    "floor: fresh memoryview": ("", _WITH.format('memoryview(b"")'), "pass"),
    "floor: wrapper + Lock": (
        _LOCK + "import functools\n"
        "def wrap(func):\n"
        "    @functools.wraps(func)\n"
        "    def run(*args, **kwargs):\n"
        "        with lock:\n"
        "            return func(*args, **kwargs)\n"
        "    return run\n"
        "@wrap\ndef f(): pass",
        "f()",
        "plain call f()",
    ),
    "zel reused Scope": (_ZEL + 's = zel.Scope("name")', _WITH.format("s"), "pass"),
    "zel fresh Scope": (_ZEL, _WITH.format('zel.Scope("name")'), "pass"),
    "zel @profile": (_ZEL + "@zel.profile\ndef f(): pass", "f()", "plain call f()"),
    "nvtx reused annotate": ('import nvtx\na = nvtx.annotate("name")', _WITH.format("a"), "pass"),
    "nvtx fresh annotate": ("import nvtx", _WITH.format('nvtx.annotate("name")'), "pass"),
    "nvtx @annotate": (
        'import nvtx\n@nvtx.annotate("name")\ndef f(): pass',
        "f()",
        "plain call f()",
    ),
    "viztracer log_event": (_VIZ, _WITH.format('tracer.log_event("name")'), "pass"),
    "viztracer @log_sparse": (_VIZ + "@log_sparse\ndef f(): pass", "f()", "plain call f()"),
    "plain call f(), tracer alive": (_VIZ + "def f(): pass", "f()", "plain call f()"),
}
# case -> (floor, zel counterpart) for the ratio columns
SCOPE_RATIOS = {
    "zel reused Scope": ("floor: reused Lock", None),
    "zel fresh Scope": ("floor: fresh memoryview", None),
    "zel @profile": ("floor: wrapper + Lock", None),
    "nvtx reused annotate": ("floor: reused Lock", "zel reused Scope"),
    "nvtx fresh annotate": ("floor: fresh memoryview", "zel fresh Scope"),
    "nvtx @annotate": ("floor: wrapper + Lock", "zel @profile"),
    "viztracer log_event": ("floor: fresh memoryview", "zel fresh Scope"),
    "viztracer @log_sparse": ("floor: wrapper + Lock", "zel @profile"),
}


def child_scope(case, loops, passes=5):
    setup, stmt, _ = SCOPES[case]
    env = {}
    exec(setup, env)
    between = env.get("between_frames")
    timer = timeit.Timer(stmt, globals=env)
    per_pass = []
    for _ in range(passes):
        total = 0.0
        for _ in range(loops // FRAME):
            total += timer.timeit(FRAME)
            if between is not None:
                between()
        per_pass.append(total / (loops // FRAME * FRAME) * 1e9)
    return {"ns": statistics.median(per_pass)}


# ---------------------------------------------------------------------------------------
# Frames of 4 scalars written to a file. Every writer gets the same values, made before
# the timing; each loop is written the way a user would, methods bound to locals.


def frame_values(n):
    rng = random.Random(7)
    return [
        (
            2.0 * math.exp(-i / 20_000) + rng.gauss(0.0, 0.05),
            1e-3 * 0.5 ** (i // 25_000),
            float(4096 + (i * 7919) % 512),
            float(i),
        )
        for i in range(n)
    ]


def _timed(loop, close):
    c0, t0 = time.process_time(), time.perf_counter()
    loop()
    t1 = time.perf_counter()
    close()
    t2, c2 = time.perf_counter(), time.process_time()
    return {"loop_s": t1 - t0, "close_s": t2 - t1, "cpu_s": c2 - c0}


def write_zel(path, values):
    import zel

    os.environ["ZEL_RECORD"] = path
    zel.enable()
    rm, fm = zel.record_metric, zel.frame_mark

    def loop():
        for a, b, c, d in values:
            rm("loss", a)
            rm("lr", b)
            rm("particles", c)
            rm("draw_calls", d)
            fm()

    return _timed(loop, zel.flush)


def write_zel_marks_only(path, values):
    import zel

    os.environ["ZEL_RECORD"] = path
    zel.enable()
    fm = zel.frame_mark

    def loop():
        for _ in values:
            fm()

    return _timed(loop, zel.flush)


def write_tensorboardx(path, values):
    from tensorboardX import SummaryWriter

    writer = SummaryWriter(path)
    add = writer.add_scalar

    def loop():
        for i, (a, b, c, d) in enumerate(values):
            add("loss", a, i)
            add("lr", b, i)
            add("particles", c, i)
            add("draw_calls", d, i)

    return _timed(loop, writer.close)


def _rerun_start(path):
    import rerun as rr

    rr.init("zel-peers", spawn=False)
    rr.save(path)
    return rr


def write_rerun(path, values):
    rr = _rerun_start(path)
    set_time, log, Scalars = rr.set_time, rr.log, rr.Scalars

    def loop():
        for i, (a, b, c, d) in enumerate(values):
            set_time("frame", sequence=i)
            log("metrics/loss", Scalars(a))
            log("metrics/lr", Scalars(b))
            log("metrics/particles", Scalars(c))
            log("metrics/draw_calls", Scalars(d))

    return _timed(loop, rr.disconnect)


def write_rerun_one(path, values):
    rr = _rerun_start(path)
    set_time, log, Scalars = rr.set_time, rr.log, rr.Scalars

    def loop():
        for i, (a, b, c, d) in enumerate(values):
            set_time("frame", sequence=i)
            log("metrics", Scalars([a, b, c, d]))

    return _timed(loop, rr.disconnect)


def write_csv(path, values):
    f = open(path, "w", newline="")
    writer = csv.writer(f)
    writer.writerow(("frame",) + NAMES)
    row = writer.writerow

    def loop():
        for i, (a, b, c, d) in enumerate(values):
            row((i, a, b, c, d))

    return _timed(loop, f.close)


# name -> (writer, file or folder name, label)
WRITERS = {
    "zel": (write_zel, "frames.zel", "zel record_metric x4 + frame_mark"),
    "zel marks only": (write_zel_marks_only, "marks.zel", "zel frame_mark only (system columns)"),
    "tensorboardX": (write_tensorboardx, "tb", "tensorboardX add_scalar x4"),
    "rerun": (write_rerun, "frames.rrd", "rerun set_time + log x4"),
    "rerun one": (write_rerun_one, "one.rrd", "rerun set_time + log(Scalars of 4)"),
    "csv": (write_csv, "frames.csv", "csv.writer row of 4"),
}


def disk_bytes(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, name)) for name in os.listdir(path))
    return os.path.getsize(path)


def child_write(fmt, path, n):
    result = WRITERS[fmt][0](path, frame_values(n))
    result["bytes"] = disk_bytes(path)
    return result


# ---------------------------------------------------------------------------------------
# Reading back. Each reader returns {name: series}; series are lists of Python floats,
# except where a case says it stops at numpy columns.


def read_zel(path):
    import zel

    series = {name: [] for name in NAMES}
    for frame in zel.Reader(path):
        for name, value in frame.user.items():
            series[name].append(value)
    return series


def _zel_columns(path):
    import zel

    columns = zel.load(path).columns
    return {name: columns[name] for name in NAMES}


def read_zel_load(path):
    return {name: column.tolist() for name, column in _zel_columns(path).items()}


def read_tensorboardx(path):
    # The TFRecord framing (u64 length, u32 masked CRC of it, data, u32 masked CRC of
    # the data) parsed by hand, CRCs not checked; the events with tensorboardX's own
    # protobuf module.
    import struct

    from tensorboardX.proto.event_pb2 import Event

    series = {name: [] for name in NAMES}
    unpack_length = struct.Struct("<Q").unpack_from
    parse = Event.FromString
    for name in sorted(os.listdir(path)):
        with open(os.path.join(path, name), "rb") as f:
            data = f.read()
        view, pos, end = memoryview(data), 0, len(data)
        while pos < end:
            (length,) = unpack_length(data, pos)
            event = parse(view[pos + 12 : pos + 12 + length])
            pos += 16 + length
            for value in event.summary.value:
                series[value.tag].append(value.simple_value)
    return series


def _rerun_columns(path):
    import pyarrow.compute as pc
    import rerun as rr

    table = rr.chunk.RrdReader(path).stream().collect().reader(index="frame").to_arrow_table()
    columns = {}
    for column in table.column_names:
        if column.startswith("/metrics/"):
            name = column.split("/")[2].split(":")[0]
            columns[name] = pc.list_flatten(table[column]).to_numpy()
    return columns


def read_rerun(path):
    return {name: column.tolist() for name, column in _rerun_columns(path).items()}


def read_csv(path):
    series = {name: [] for name in NAMES}
    lists = [series[name] for name in NAMES]
    with open(path, newline="") as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            for out, cell in zip(lists, row[1:]):
                out.append(float(cell))
    return series


# name -> (reader, writer whose file it reads, modules imported before the timing, label)
READERS = {
    "zel": (read_zel, "zel", ["zel"], "zel.Reader, iterate frames -> lists"),
    "zel.load": (read_zel_load, "zel", ["zel", "numpy"], "zel.load -> lists"),
    "zel.load numpy": (_zel_columns, "zel", ["zel", "numpy"], "zel.load -> numpy"),
    "tensorboardX": (
        read_tensorboardx,
        "tensorboardX",
        ["tensorboardX.proto.event_pb2"],
        "TFRecord framing + tensorboardX event_pb2 -> lists",
    ),
    "rerun": (
        read_rerun,
        "rerun",
        ["rerun", "pyarrow.compute", "datafusion"],
        "rerun RrdReader -> dataframe -> lists",
    ),
    "rerun numpy": (
        _rerun_columns,
        "rerun",
        ["rerun", "pyarrow.compute", "datafusion"],
        "rerun RrdReader -> dataframe -> numpy",
    ),
    "csv": (read_csv, "csv", [], "csv.reader + float() -> lists"),
}


def child_read(fmt, path, n):
    import importlib

    for module in READERS[fmt][2]:
        importlib.import_module(module)
    start = time.perf_counter()
    series = READERS[fmt][0](path)
    seconds = time.perf_counter() - start
    frames = series["draw_calls"]
    if (
        len(frames) != n
        or sum(frames) != n * (n - 1) / 2
        or any(len(series[k]) != n for k in NAMES)
    ):
        raise SystemExit(f"{fmt}: read back {len(frames)} frames, not the {n} written")
    return {"read_s": seconds}


# ---------------------------------------------------------------------------------------
# The parent: children, rounds, tables.


def run_child(args, env=None):
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    child_env.update(env or {})
    out = subprocess.run(
        [sys.executable, __file__, "--child", json.dumps(args)],
        env=child_env,
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        raise SystemExit(f"child {args} failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def rotated(items, k):
    k %= len(items)
    return items[k:] + items[:k]


def versions():
    from importlib.metadata import PackageNotFoundError, version

    found = {}
    for dist in (
        "zel",
        "nvtx",
        "viztracer",
        "tensorboardX",
        "rerun-sdk",
        "datafusion",
        "pyarrow",
        "protobuf",
    ):
        try:
            found[dist] = version(dist)
        except PackageNotFoundError:
            found[dist] = "not installed"
    return found


def cpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        fields = dict(line.split(":", 1) for line in out.splitlines() if ":" in line)
        return f"{fields['Model name'].strip()}, {fields['CPU(s)'].strip()} CPUs"
    except (OSError, KeyError):
        return f"{platform.processor() or platform.machine()}, {os.cpu_count()} CPUs"


def has_zel_load():
    return run_child({"probe": "zel.load"})["has"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: small, one round")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--frames", type=int)
    parser.add_argument("--loops", type=int, help="scope blocks per pass")
    parser.add_argument("--json", help="also write every sample to this file")
    opts = parser.parse_args()
    rounds = opts.rounds or (1 if opts.quick else 7)
    frames = opts.frames or (10_000 if opts.quick else 100_000)
    loops = opts.loops or (20_000 if opts.quick else 200_000)

    readers = [r for r in READERS if not r.startswith("zel.load") or has_zel_load()]
    tmp = tempfile.mkdtemp(prefix="zel-peers-")
    scopes = {case: [] for case in SCOPES}
    writes = {fmt: [] for fmt in WRITERS}
    reads = {fmt: [] for fmt in readers}
    started = time.perf_counter()
    try:
        for r in range(rounds):
            for case in rotated(list(SCOPES), r):
                scopes[case].append(run_child({"scope": case, "loops": loops}))
            for fmt in rotated(list(WRITERS), r):
                path = os.path.join(tmp, f"{r}-{WRITERS[fmt][1]}")
                writes[fmt].append(run_child({"write": fmt, "path": path, "frames": frames}))
            for fmt in rotated(readers, r):
                path = os.path.join(tmp, f"{r}-{WRITERS[READERS[fmt][1]][1]}")
                reads[fmt].append(run_child({"read": fmt, "path": path, "frames": frames}))
            for name in os.listdir(tmp):
                target = os.path.join(tmp, name)
                shutil.rmtree(target) if os.path.isdir(target) else os.remove(target)
            print(
                f"round {r + 1}/{rounds} done, {time.perf_counter() - started:.0f} s",
                file=sys.stderr,
                flush=True,
            )
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({"scopes": scopes, "writes": writes, "reads": reads}, f, indent=1)
    report(scopes, writes, reads, rounds, frames, loops)


def _med(samples, key):
    return statistics.median(s[key] for s in samples)


def _ratio(x, y):
    return f"{x / y:.2f}x" if y > 0 else "n/a"


def report(scopes, writes, reads, rounds, frames, loops):
    print(f"date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}")
    print(f"machine: {cpu_model()}, Python {platform.python_version()}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in versions().items()))
    print(
        f"medians of {rounds} rounds, every case in its own process per round; "
        f"{frames:,} frames; scopes {loops:,} blocks x 5 passes per process\n"
    )

    ns = {case: _med(samples, "ns") for case, samples in scopes.items()}
    net = {case: ns[case] - ns[base] if base else ns[case] for case, (_, _, base) in SCOPES.items()}
    print("| scope around `pass` | median ns | net ns | x floor | x zel |")
    print("|---|---:|---:|---:|---:|")
    for case in SCOPES:
        floor, zel_case = SCOPE_RATIOS.get(case, (None, None))
        shown = f"{net[case]:.1f}" if SCOPES[case][2] else ""
        print(
            f"| {case} | {ns[case]:.1f} | {shown} | "
            f"{_ratio(net[case], net[floor]) if floor else ''} | "
            f"{_ratio(net[case], net[zel_case]) if zel_case else ''} |"
        )

    w = {
        fmt: {k: _med(s, k) for k in ("loop_s", "close_s", "cpu_s", "bytes")}
        for fmt, s in writes.items()
    }
    us = 1e6 / frames
    print(
        f"\n| frame of 4 scalars, {frames:,} frames | loop us/frame | flush/close ms "
        "| loop+close us/frame | CPU us/frame | x zel (loop+close) |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    z = w["zel"]
    for fmt, (_, _, label) in WRITERS.items():
        m = w[fmt]
        total = (m["loop_s"] + m["close_s"]) * us
        ratio = _ratio(m["loop_s"] + m["close_s"], z["loop_s"] + z["close_s"])
        print(
            f"| {label} | {m['loop_s'] * us:.2f} | {m['close_s'] * 1e3:.1f} | {total:.2f} | "
            f"{m['cpu_s'] * us:.2f} | {ratio} |"
        )

    print(f"\n| bytes on disk, {frames:,} frames | bytes | bytes/frame | x zel |")
    print("|---|---:|---:|---:|")
    for fmt, (_, _, label) in WRITERS.items():
        b = w[fmt]["bytes"]
        print(f"| {label} | {b:,.0f} | {b / frames:.1f} | {_ratio(b, z['bytes'])} |")

    r = {fmt: _med(s, "read_s") for fmt, s in reads.items()}
    print(f"\n| read {frames:,} frames back | ms | us/frame | x zel.Reader |")
    print("|---|---:|---:|---:|")
    for fmt, seconds in r.items():
        print(
            f"| {READERS[fmt][3]} | {seconds * 1e3:.1f} | {seconds * us:.2f} | "
            f"{_ratio(seconds, r['zel'])} |"
        )


def child(args):
    if "probe" in args:
        import zel

        return {"has": hasattr(zel, "load")}
    if "scope" in args:
        return child_scope(args["scope"], args["loops"])
    if "write" in args:
        return child_write(args["write"], args["path"], args["frames"])
    return child_read(args["read"], args["path"], args["frames"])


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        print(json.dumps(child(json.loads(sys.argv[2]))))
    else:
        main()
