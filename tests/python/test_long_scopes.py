# Scopes that outlive a frame: a frame loop inside one scope, a worker whose whole body
# is one scope, what the exports make of them, and millions of scopes that nobody
# receives.

import json
import re
import statistics

import pytest
from conftest import run_python

import _zel
import zel
from zel import flame
from zel.cli import main as cli
from zel.export.report import SCOPE_FIELDS, report_data

LOOP = """
import threading, time, zel
zel.enable()
stop = threading.Event()
def worker():
    with zel.Scope("worker"):
        while not stop.is_set():
            with zel.Scope("chunk"): time.sleep(0.0001)
threading.Thread(target=worker).start()
with zel.Scope("main"):
    for i in range(1000):
        with zel.Scope(f"step{i % 7}"): time.sleep(0.0003)
        zel.frame_mark()
stop.set()
zel.flush()
"""


@pytest.fixture(scope="module")
def loop(tmp_path_factory):
    path = tmp_path_factory.mktemp("loop") / "c.zel"
    run_python(LOOP, ZEL_RECORD=path, ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="1")
    return path


def test_a_frame_loop_inside_a_scope_and_a_long_worker_scope_fill_every_frame(loop):
    frames = list(_zel.Reader(str(loop)))
    assert len(frames) == 1000 and all(f.flame for f in frames)
    chunks, sizes, main_starts = 0, [], set()
    first = flame.decode(frames[0].flame)
    for i, f in enumerate(frames[1:], 1):
        decoded = flame.decode(f.flame)  # strict: every frame decodes
        by_name = {t.scopes[0].name: t.scopes for t in decoded.threads}
        # main is open in every frame, began in the first one, and holds the step that
        # ran in it (a frame starts with its earliest segment: the worker's may come late)
        (main,) = by_name["main"]
        assert main.open and main.start_ns < first.stop_ns
        main_starts.add(main.start_ns)  # reopened with its original start time
        assert flame.self_times(decoded)["main"] <= decoded.duration_ns  # clipped to the frame
        assert [s.name for s in main.children] == [f"step{i % 7}"]
        if "worker" in by_name:
            (worker,) = by_name["worker"]
            assert worker.open and {c.name for c in worker.children} <= {"chunk"}
            chunks += len(worker.children)
        sizes.append(len(f.flame))
    assert len(main_starts) == 1 and chunks > 500  # the worker's scopes land across the frames
    assert max(sizes) < 20 * statistics.median(sizes)  # no frame holds what came before


def exported(loop, fmt, frames):
    # [(thread, name, start ns, stop ns, full ms or None)] of the slices an export of
    # `frames` of `loop` shows, times from its own origin.
    if fmt == "report":  # its slowest chart, with only frame `frames` carrying flame data
        capture = zel.load(loop)
        kept = capture.flame[int(frames)]
        capture.flame.clear()
        capture.flame[int(frames)] = kept
        data = report_data(capture, slowest=1)
        (chart,), n, got = data["flames"], len(SCOPE_FIELDS), []
        for t in chart["threads"]:
            for a in zip(*[iter(t["scopes"])] * n):
                got.append((t["name"], data["strings"][a[3]], a[0], a[0] + a[1], a[8] / 1e6))
        return got
    out = loop.parent / f"{fmt}.json"
    assert cli(["flame", str(loop), "-o", str(out), "--format", fmt, "--frames", frames]) == 0
    doc, got = json.loads(out.read_text()), []
    for e in doc.get("traceEvents", []):
        if e.get("cat") == "scope":
            ts, full = e["ts"] * 1e3, e.get("args", {}).get("full_ms")
            got.append((e["tid"], e["name"], ts, ts + e["dur"] * 1e3, full))
    for p in doc.get("profiles", []):
        opened = []
        for e in p["events"]:
            if e["type"] == "O":
                opened.append(e)
                continue
            f = doc["shared"]["frames"][e["frame"]]
            full = re.search(r"full duration ([\d.]+) ms", f.get("file", ""))
            got.append((p["name"], f["name"], opened.pop()["at"], e["at"], full and float(full[1])))
    return got


@pytest.mark.parametrize("fmt", ["perfetto", "speedscope", "report"])
def test_exports_clip_long_scopes_to_a_frame_and_join_them_across_frames(loop, fmt):
    got = exported(loop, fmt, "500")
    frame = flame.decode(zel.load(loop).flame[500])
    (main,) = (t.scopes[0] for t in frame.threads if t.scopes[0].name == "main")
    # every slice within the frame; main's full duration (some 500 frames) in its args
    assert max(s[3] for s in got) - min(s[2] for s in got) <= frame.duration_ns + 2
    (shown,) = (s for s in got if s[1] == "main")
    assert shown[4] == pytest.approx(main.duration_ns / 1e6, abs=1e-3) and shown[4] > 100
    if fmt == "report":
        return
    # all frames: main and worker once each, holding what every frame saw inside them
    got = exported(loop, fmt, "ALL")
    longs = sorted((s[1], s[0]) for s in got if s[1] in ("main", "worker"))
    assert [name for name, _ in longs] == ["main", "worker"] and longs[0][1] != longs[1][1]
    for name, inner, least in (("main", "step", 1000), ("worker", "chunk", 500)):
        (outer,) = (s for s in got if s[1] == name)
        kids = [s for s in got if s[1].startswith(inner)]
        assert all(s[0] == outer[0] and outer[2] <= s[2] <= s[3] <= outer[3] for s in kids)
        assert len(kids) >= least
        assert outer[4] == pytest.approx((outer[3] - outer[2]) / 1e6, abs=1e-3)  # not clipped


# 10 million scopes inside one outer scope, marking a frame every 1,000 (or never);
# prints the resident set after 1 million and at the end, in kB.
MILLIONS = """
import zel
zel.enable()
def rss():
    with open("/proc/self/statm") as f: return int(f.read().split()[1]) * 4
inner = zel.Scope("inner")
with zel.Scope("outer"):
    for k in range(10_000):
        for _ in range(1000):
            with inner: pass
        if MARK: zel.frame_mark()
        if k == 1000: first = rss()
print(first, rss())
"""


@pytest.mark.parametrize(
    "mark, env",
    [
        (False, {}),  # not armed
        (False, {"ZEL_RECORD": "c.zel"}),  # flame capture off
        (True, {"ZEL_RECORD": "c.zel", "ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "1"}),
    ],
)
def test_memory_stays_flat_over_ten_million_scopes(tmp_path, mark, env):
    out = run_python(f"MARK = {mark}\n", MILLIONS, cwd=tmp_path, **env)
    first, last = map(int, out.stdout.split())
    assert last - first < 16_000, (first, last)  # kB; ~30 bytes a scope would be 270 MB
