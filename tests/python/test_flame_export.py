"""`zel flame`: trace events and speedscope files of a capture that a child process
records, read back; the labels of threads."""

import json
import os

import pytest
from recording import run_python

import zel
from zel.cli import main
from zel.export.common import thread_labels

# Six frames, a flame frame every second one (0, 2, 4); in each frame the main thread
# runs frame > (update > physics, draw) and a second thread job > (read, parse).
# Frame 4 is the slowest; "rare" has a value in frame 3 only.
RECORD = """
import threading, time, zel
zel.enable()
zel.record_metric_unit("loss", "nats")
go, done = threading.Event(), threading.Event()

def worker():
    for k in range(6):
        go.wait(); go.clear()
        with zel.Scope("job"):
            with zel.Scope("read"):
                time.sleep(0.001)
            with zel.Scope("parse"):
                time.sleep(0.001)
        done.set()

t = threading.Thread(target=worker)
t.start()
for k in range(6):
    with zel.Scope("frame"):
        go.set()
        with zel.Scope("update"):
            with zel.Scope("physics"):
                time.sleep(0.002)
        with zel.Scope("draw"):
            time.sleep(0.04 if k == 4 else 0.003)
        done.wait(); done.clear()
    zel.record_metric("loss", 1.5 * k)
    if k == 3:
        zel.record_metric("rare", 7.0)
    zel.frame_mark()
t.join()
zel.flush()
"""

MAIN = {("frame",), ("frame", "update"), ("frame", "update", "physics"), ("frame", "draw")}
WORKER = {("job",), ("job", "read"), ("job", "parse")}


@pytest.fixture(scope="module")
def captures(tmp_path_factory, frames_capture):
    d = tmp_path_factory.mktemp("flame")
    run_python(RECORD, cwd=d, ZEL_RECORD="cap.zel", ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="2")
    os.symlink(frames_capture, d / "plain.zel")  # recorded without flame frames
    return d


def export(d, fmt, *args):
    out = d / f"{fmt}.json"
    assert main(["flame", str(d / "cap.zel"), "-o", str(out), "--format", fmt, *args]) == 0
    return json.loads(out.read_text())


def nested_paths(intervals):
    """[(name, start, stop)] of one thread -> the name path of each, checking that each
    interval lies within the one enclosing it (siblings do not overlap)."""
    paths, stack = [], []
    for name, start, stop in sorted(intervals, key=lambda i: (i[1], -i[2])):
        while stack and start >= stack[-1][2]:
            stack.pop()
        if stack:
            assert stop <= stack[-1][2], f"{name} ends after its parent {stack[-1][0]}"
        stack.append((name, start, stop))
        paths.append(tuple(s[0] for s in stack))
    return paths


def check_frames_hold_their_scopes(events, flame_frames):
    """Each flame frame's outermost main-thread scope lies within that frame's span
    on the frames track (to 0.1 ms)."""
    frames = {e["args"]["frame"]: e for e in events if e.get("cat") == "frame"}
    outer = [e for e in events if e.get("name") == "frame" and e["ph"] == "X"]
    outer.sort(key=lambda e: e["ts"])
    assert len(outer) == len(flame_frames)
    for k, scope in zip(flame_frames, outer):
        f = frames[k]
        assert (
            f["ts"] - 100 <= scope["ts"] and scope["ts"] + scope["dur"] <= f["ts"] + f["dur"] + 100
        )


def test_trace_events_of_all_flame_frames(captures, capsys):
    doc = export(captures, "perfetto", "--frames", "ALL")
    assert capsys.readouterr().out == (
        f"wrote {captures / 'perfetto.json'}: trace events for ui.perfetto.dev, "
        "all 3 flame frames, 2 threads, 21 scopes\n"
    )
    events = doc["traceEvents"]
    assert doc["displayTimeUnit"] == "ms"
    names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
    by_name = {v: k for k, v in names.items()}
    assert sorted(names.values()) == ["frames", "thread 1", "thread 2"]

    for thread, expected in (("thread 1", MAIN), ("thread 2", WORKER)):
        xs = [e for e in events if e["ph"] == "X" and e["tid"] == by_name[thread]]
        paths = nested_paths([(e["name"], e["ts"], e["ts"] + e["dur"]) for e in xs])
        # the three flame frames' scopes, each once
        assert sorted(paths) == sorted(list(expected) * 3)

    frames = [e for e in events if e["ph"] == "X" and e["tid"] == by_name["frames"]]
    capture = zel.load(captures / "cap.zel")
    frame_ms = [float(v) for v in capture.columns["frame_ms"]]
    assert [e["args"]["frame"] for e in frames] == list(range(6))
    for a, b in zip(frames, frames[1:]):
        # one after another; the marks of flame frames are known to some microseconds
        assert a["ts"] + a["dur"] - 0.001 <= b["ts"] <= a["ts"] + a["dur"] + 100
        assert b["dur"] == pytest.approx(frame_ms[b["args"]["frame"]] * 1000, abs=100)
    check_frames_hold_their_scopes(events, (0, 2, 4))

    counters = {}
    for e in events:
        if e["ph"] == "C":
            counters.setdefault(e["name"], []).append((e["ts"], e["args"]["value"]))
    assert len(counters) == 10  # 8 system columns, loss, rare
    assert [v for _, v in counters["loss (nats)"]] == [1.5 * k for k in range(6)]
    assert counters["rare"] == [(frames[3]["ts"], 7.0)]
    assert [t for t, _ in counters["frame_ms (ms)"]] == [f["ts"] for f in frames]
    assert [v for _, v in counters["frame_ms (ms)"]] == frame_ms

    # a range that starts on a frame without flame data
    events = export(captures, "perfetto", "--frames", "1:5")["traceEvents"]
    assert [e["args"]["frame"] for e in events if e.get("cat") == "frame"] == [1, 2, 3, 4]
    check_frames_hold_their_scopes(events, (2, 4))


def test_speedscope_profiles_of_chosen_frames(captures, capsys):
    doc = export(captures, "speedscope")  # the slowest frame with flame data: 4
    assert capsys.readouterr().out == (
        f"wrote {captures / 'speedscope.json'}: speedscope profile, slowest frame 4, "
        "2 threads, 7 scopes\n"
    )
    assert doc["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    assert doc["name"] == "cap.zel: slowest frame 4"
    frame_names = [f["name"] for f in doc["shared"]["frames"]]
    assert [p["name"] for p in doc["profiles"]] == ["thread 1", "thread 2"]
    for profile, expected in zip(doc["profiles"], (MAIN, WORKER)):
        assert profile["type"] == "evented" and profile["unit"] == "nanoseconds"
        ats = [e["at"] for e in profile["events"]]
        assert ats == sorted(ats)
        assert (profile["startValue"], profile["endValue"]) == (ats[0], ats[-1])
        stack, paths = [], []
        for e in profile["events"]:
            if e["type"] == "O":
                stack.append(e["frame"])
                paths.append(tuple(frame_names[i] for i in stack))
            else:
                assert stack and stack.pop() == e["frame"]
        assert stack == []
        assert sorted(paths) == sorted(expected)
    # the draw scope of the slow frame holds its 40 ms sleep
    main = doc["profiles"][0]["events"]
    draw = frame_names.index("draw")
    opened, closed = (e["at"] for e in main if e["frame"] == draw)
    assert closed - opened >= 40e6

    # a range: the frames with flame data in it, frame 1 having none
    doc = export(captures, "speedscope", "--frames", ":3")
    assert len(doc["profiles"][1]["events"]) == 2 * 2 * len(WORKER)


@pytest.mark.parametrize(
    "args, message",
    [
        (["cap.zel", "--frames", "5-7"], "bad --frames '5-7'"),
        (["cap.zel", "--frames", "1:2:3"], "bad --frames '1:2:3'"),
        (["cap.zel", "--frames", "10:"], "selects no frame"),
        (["cap.zel", "--frames", "1:2"], "no frame in 1:2 carries flame data"),
        (["cap.zel", "--count", "0"], "--count must be at least 1, not 0"),
        (["plain.zel"], "recorded without flame frames"),
        (["absent.zel"], "absent.zel: No such file"),
        (["cap.zel", "-o", "nodir/x.json"], "no such directory"),
        (["cap.zel", "-o", "taken"], "taken: Is a directory"),  # the rename fails
    ],
)
def test_flame_refusals_are_one_line(captures, monkeypatch, capsys, args, message):
    monkeypatch.chdir(captures)
    os.makedirs("taken/x", exist_ok=True)
    before = sorted(os.listdir())
    assert main(["flame", "-o", "bad.json", *args]) == 1
    err = capsys.readouterr().err
    assert err.startswith("zel flame: ") and err.count("\n") == 1 and message in err
    assert sorted(os.listdir()) == before  # no output, no temporary file left


@pytest.mark.parametrize(
    "threads, labels",
    [
        (
            [("", 30), ("", 10), ("", None), ("", 20)],
            ["thread 3", "thread 1", "thread 4", "thread 2"],
        ),
        ([("main", 5), ("", 1), ("main", 2)], ["main (2)", "thread 1", "main"]),
        ([("thread 1", 9), ("", 1)], ["thread 1 (2)", "thread 1"]),
        ([], []),
    ],
)
def test_threads_are_labelled_by_name_or_by_when_they_began(threads, labels):
    assert thread_labels(threads) == labels
