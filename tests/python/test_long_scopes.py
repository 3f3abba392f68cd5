# Scopes that outlive a frame: a frame loop inside one scope, a worker whose whole body
# is one scope, and millions of scopes that nobody receives.

import statistics

import pytest
from conftest import run_python

import _zel
from zel import flame

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


def test_a_frame_loop_inside_a_scope_and_a_long_worker_scope_fill_every_frame(tmp_path):
    run_python(LOOP, ZEL_RECORD=tmp_path / "c.zel", ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="1")
    frames = list(_zel.Reader(str(tmp_path / "c.zel")))
    assert len(frames) == 1000 and all(f.flame for f in frames)
    chunks, sizes, main_starts = 0, [], set()
    for i, f in enumerate(frames[1:], 1):
        decoded = flame.decode(f.flame)  # strict: every frame decodes
        by_name = {t.scopes[0].name: t.scopes for t in decoded.threads}
        # main is open in every frame, began before it, and holds the step that ran in it
        (main,) = by_name["main"]
        assert main.open and (main.start_ns < decoded.start_ns or i == 1)
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
