# Eight threads open a million scopes inside one scope each that lasts their whole life,
# and record metrics, while the main thread marks frames and flushes: every flame frame
# decodes, each thread's segments are cut at the marks and continue in the next frame,
# every round is recorded once, and every metric value lands in the frame it was
# recorded for.

import json

from conftest import run_python, tree

import _zel
from zel import flame

THREADS, ROUNDS = 8, 31250  # four scopes a round: 1,000,000 scopes

# Metric values name the frame they belong to: a worker reads the frame number and
# records under the lock that the main thread holds while it marks a frame. Each
# worker logs the last value it recorded per frame, which is the one the frame keeps.
CHILD = r"""
import json, sys, threading, time, zel
sys.setswitchinterval(1e-4)  # threads take turns often, between any two bytecodes
zel.enable()
lock, frame, logs = threading.Lock(), 0, [{} for _ in range(THREADS)]

def worker(k):
    outer, mid, leaf = zel.Scope(f"w{k}"), zel.Scope("mid"), zel.Scope("leaf")
    with zel.Scope(f"life{k}"):
        for i in range(ROUNDS):
            with outer, mid:
                with leaf: pass
                with leaf: pass
            if i % 8 == 0:
                with lock:
                    logs[k][frame] = value = frame * 1000000 + i
                    zel.record_metric(f"t{k}", value)
                time.sleep(0)  # lets the main thread mark frames in between

threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
[t.start() for t in threads]
while any(t.is_alive() for t in threads):
    with lock: zel.frame_mark(); frame += 1
    if frame % 10 == 0: zel.flush()
    time.sleep(0)
zel.frame_mark(); zel.flush()  # the scopes and metrics recorded since the last mark
json.dump([frame + 1, logs], sys.stdout)
"""


def test_threads_scopes_and_metrics_under_load(tmp_path):
    path = tmp_path / "stress.zel"
    constants = f"THREADS, ROUNDS = {THREADS}, {ROUNDS}\n"
    out = run_python(constants, CHILD, ZEL_RECORD=path, ZEL_RECORD_FLAME="1")
    marked, logs = json.loads(out.stdout)
    frames = list(_zel.Reader(str(path)))
    assert len(frames) == marked
    for k, log in enumerate(logs):
        kept = {n: f.user[f"t{k}"] for n, f in enumerate(frames) if f"t{k}" in f.user}
        assert log and kept == {int(f): v for f, v in log.items()}

    # A frame without scopes carries the newest flame frame again: each is counted once.
    # A round cut by a mark is open in one frame and ends in a later one: it is counted
    # where it ends, and is whole where it was never cut.
    rounds, decoded = [0] * THREADS, (flame.decode(f.flame) for f in frames if f.flame)
    whole, cut = [("mid", [("leaf", []), ("leaf", [])])], set()
    for frame in {frame.index: frame for frame in decoded}.values():
        for thread in frame.threads:
            (life,) = thread.scopes  # a worker: the only threads with scopes
            k = int(life.name[4:])
            for r in life.children:
                assert r.name == f"w{k}" and r.start_ns >= life.start_ns
                rounds[k] += not r.open
                if r.open:
                    cut.add((k, r.start_ns))
                elif (k, r.start_ns) not in cut:
                    assert tree(r.children, r.start_ns, r.stop_ns) == whole
    assert rounds == [ROUNDS] * THREADS
