# `zel flame`: trace events and speedscope profiles read back, from the capture a child
# recorded (conftest.RECORD) and from streams built byte by byte around its flame
# frames: which frames the counters cover, non-finite values, writing as a stream.

import json
import math
import random
import subprocess
import sys

import pytest
from conftest import HOSTILE, decl, frame, header

import zel
from zel.cli import main
from zel.export import speedscope, timeline, trace
from zel.export.common import select_frames

MAIN = {("frame",), ("frame", "update"), ("frame", "update", "physics"), ("frame", "draw")}
WORKER = {("job",), ("job", "read"), ("job", HOSTILE)}


def strict_json(text):
    # json.loads, refusing the NaN and Infinity that Python's reader lets through
    def refuse(name):
        raise ValueError(f"{name} in JSON")

    return json.loads(text, parse_constant=refuse)


def export(capture, capsys, fmt, *args):
    # The document `zel flame` writes, and what it says.
    out = capture.parent / f"{fmt}.json"
    assert main(["flame", str(capture), "-o", str(out), "--format", fmt, *args]) == 0
    return strict_json(out.read_text()), capsys.readouterr().out


def nested_paths(intervals):
    # [(name, start, stop)] of one thread -> the sorted name paths of all, checking that
    # each interval lies within the one enclosing it (siblings do not overlap).
    paths, stack = [], []
    for name, start, stop in sorted(intervals, key=lambda i: (i[1], -i[2])):
        while stack and start >= stack[-1][2]:
            stack.pop()
        assert not stack or stop <= stack[-1][2], f"{name} ends after its parent"
        stack.append((name, start, stop))
        paths.append(tuple(s[0] for s in stack))
    return sorted(paths)


def check_frames(events, flame_frames, frame_ms):
    # The frames track: one slice per frame, one after another, as long as its frame
    # time; each flame frame's outermost main-thread scope lies within its frame.
    # Times in µs; the marks of flame frames are known to some µs, the rest to 0.1 ms.
    frames = [e for e in events if e.get("cat") == "frame"]
    for a, b in zip(frames, frames[1:]):
        assert a["ts"] + a["dur"] - 0.001 <= b["ts"] <= a["ts"] + a["dur"] + 100
        assert b["dur"] == pytest.approx(frame_ms[b["args"]["frame"]] * 1000, abs=100)
    span = {e["args"]["frame"]: (e["ts"], e["ts"] + e["dur"]) for e in frames}
    outer = sorted((e["ts"], e["dur"]) for e in events if e["name"] == "frame" and e["ph"] == "X")
    assert len(outer) == len(flame_frames)
    for k, (ts, dur) in zip(flame_frames, outer):
        assert span[k][0] - 100 <= ts <= ts + dur <= span[k][1] + 100
    return frames


def counters(events):
    out = {}
    for e in (e for e in events if e["ph"] == "C"):
        out.setdefault(e["name"], []).append((e["ts"], e["args"]["value"]))
    return out


def test_trace_events_and_speedscope_profiles(recorded, capsys):
    frame_ms = [float(v) for v in zel.load(recorded).columns["frame_ms"]]
    doc, said = export(recorded, capsys, "perfetto", "--frames", "ALL")
    assert said.endswith("ui.perfetto.dev, all 3 flame frames, 2 threads, 21 scopes\n")
    events = doc["traceEvents"]
    tids = {e["args"]["name"]: e["tid"] for e in events if e["name"] == "thread_name"}
    assert sorted(tids) == ["frames", "thread 1", "thread 2"]
    for thread, expected in (("thread 1", MAIN), ("thread 2", WORKER)):
        xs = [e for e in events if e["ph"] == "X" and e["tid"] == tids[thread]]
        paths = nested_paths([(e["name"], e["ts"], e["ts"] + e["dur"]) for e in xs])
        assert paths == sorted(list(expected) * 3)  # the three flame frames' scopes, each once
    # ALL covers the first flame frame to the last: frames 0..4, not frame 5
    frames = check_frames(events, (0, 2, 4), frame_ms)
    assert [e["args"]["frame"] for e in frames] == list(range(5))
    assert {e["tid"] for e in frames} == {tids["frames"]}
    assert [e["args"]["frame_ms"] for e in frames] == frame_ms[:5]
    tracks = counters(events)
    assert len(tracks) == 10  # 8 system columns, loss, HOSTILE
    assert [v for _, v in tracks["loss (nats)"]] == [1.5 * k for k in range(5)]
    assert tracks[HOSTILE] == [(frames[3]["ts"], 7.0)]
    assert tracks["frame_ms (ms)"] == [(f["ts"], ms) for f, ms in zip(frames, frame_ms)]
    # a column that never changes (no I/O recorded) is one sample: it holds until the next
    assert tracks["io_ms (ms)"] == [(frames[0]["ts"], 0.0)] and len(tracks["io_MB (MB)"]) == 1
    assert doc["otherData"]["span"] == [0, 5] and doc["otherData"]["nonfinite_samples"] == {}

    # which frames the counters cover, and how thinly: (options, frames track, frames
    # of the loss and HOSTILE samples)
    for options, slices, loss, hostile in [
        (["--frames", "ALL", "--counters", "all"], range(6), range(6), [3]),
        (["--frames", "ALL", "--counters", "none"], range(5), [], []),
        (["--frames", "ALL", "--counter-every", "2"], range(5), [0, 2, 4], [3]),
        (["--frames", "ALL", "--counter-every", "4", "--counters", "all"], range(6), [0, 4], [3]),
        (["--frames", "1:5"], range(1, 5), range(1, 5), [3]),  # starts without flame data
    ]:
        doc, _ = export(recorded, capsys, "perfetto", *options)
        frames = check_frames(doc["traceEvents"], [k for k in (0, 2, 4) if k in slices], frame_ms)
        starts = {e["args"]["frame"]: e["ts"] for e in frames}
        assert list(starts) == list(slices), options
        tracks = counters(doc["traceEvents"])
        assert tracks.get("loss (nats)", []) == [(starts[k], 1.5 * k) for k in loss], options
        assert tracks.get(HOSTILE, []) == [(starts[k], 7.0) for k in hostile], options

    doc, said = export(recorded, capsys, "speedscope")  # the slowest frame with flame data
    assert said.endswith(": speedscope profile, slowest frame 4, 2 threads, 7 scopes\n")
    assert doc["name"] == "cap.zel: slowest frame 4"
    names = [f["name"] for f in doc["shared"]["frames"]]
    for profile, name, expected in zip(doc["profiles"], ("thread 1", "thread 2"), (MAIN, WORKER)):
        opened = [names[e["frame"]] for e in profile["events"] if e["type"] == "O"]
        assert profile["name"] == name and sorted(opened) == sorted(p[-1] for p in expected)
        assert (profile["startValue"], profile["endValue"]) == (
            profile["events"][0]["at"],
            profile["events"][-1]["at"],
        )


def test_chunks_join_into_the_same_document(recorded, monkeypatch):
    # Written a few events at a time, both formats read back as written in one go.
    capture = zel.load(recorded)
    selection = select_frames(capture, "ALL")

    def both():
        return trace.to_trace_events(capture, selection, "all"), speedscope.to_speedscope(
            capture, selection
        )

    whole = both()
    for module in (trace, speedscope, timeline):
        monkeypatch.setattr(module, "CHUNK", 3)
    assert both() == whole


def test_counter_samples_agree_with_and_without_numpy():
    np = pytest.importorskip("numpy")
    rng = random.Random(7)
    pool = [0.0, 1.0, 1.0, 2.5, math.nan, math.inf, -math.inf]
    for _ in range(300):
        n = rng.randrange(0, 40)
        frames = sorted(rng.sample(range(100), n))
        values = [rng.choice(pool) for _ in frames]
        start, every = rng.randrange(0, 10), rng.choice([1, 2, 3, 7])
        want = trace.counter_samples(frames, values, start, every)  # plain Python
        got = trace.counter_samples(np.array(frames), np.array(values), start, every)
        assert (got[0].tolist(), got[1].tolist(), got[2]) == want
        kept, bad = want[0], want[2]
        assert bad == sum(not math.isfinite(v) for v in values)
        assert len({(k - start) // every for k in kept}) == len(kept)  # one per run of N
        assert all(a != b for a, b in zip(want[1], want[1][1:]))  # only changes


def with_flame(tmp_path, name, columns, rows, flames):
    # A stream of `rows` [(system values, user pairs)] whose frames listed in `flames`
    # carry the given flame bytes; user column 8 is "x".
    data = [header(columns, flame=True), decl(len(columns), "x")]
    data += (frame(system, user, flames.get(k, b"")) for k, (system, user) in enumerate(rows))
    path = tmp_path / name
    path.write_bytes(b"".join(data))
    return path


def test_non_finite_values_are_left_out_and_counted(recorded, system_columns, tmp_path, capsys):
    flames = [b for _, b in sorted(zel.load(recorded).flame.items())]
    x = len(system_columns)
    values = [1.0, math.inf, math.nan, 2.0, -math.inf, 2.0]
    frame_ms = [0.0, 5.0, math.inf, 5.0, math.nan, 5.0]
    rows = [([ms] + [1.0] * (x - 1), [(x, v)]) for ms, v in zip(frame_ms, values)]
    path = with_flame(tmp_path, "nf.zel", system_columns, rows, {0: flames[0], 5: flames[2]})
    for fmt in ("perfetto", "speedscope"):
        doc, said = export(path, capsys, fmt, "--frames", "ALL")
        assert "2 threads" in said
    doc, _ = export(path, capsys, "perfetto", "--frames", "ALL")
    assert doc["otherData"]["nonfinite_samples"] == {"frame_ms": 2, "x": 3}
    frames = [e for e in doc["traceEvents"] if e.get("cat") == "frame"]
    assert [e["args"].get("frame_ms") for e in frames] == [0.0, 5.0, None, 5.0, None, 5.0]
    assert [v for _, v in counters(doc["traceEvents"])["x"]] == [1.0, 2.0]
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "nf.zel",
        "perfetto.json",
        "speedscope.json",
    ]


BIG = 100_000


@pytest.fixture(scope="module")
def big(recorded, tmp_path_factory):
    # 100,000 frames, the three flame frames at 0, 50,000 and 99,999, and "x" changing
    # on every frame: a trace of some 400,000 events
    columns = zel.load(recorded)
    system = [(name, columns.units[name]) for name in columns.system_columns]
    flames = [b for _, b in sorted(columns.flame.items())]
    x = len(system)
    rows = [([1.0 + k % 3] + [float(k % 5)] * (x - 1), [(x, float(k))]) for k in range(BIG)]
    at = {0: flames[0], BIG // 2: flames[1], BIG - 1: flames[2]}
    return with_flame(tmp_path_factory.mktemp("big"), "big.zel", system, rows, at)


PEAK = """
import resource, sys
import zel.export.trace
from zel.cli import main
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert main(sys.argv[1:]) == 0
print(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_a_long_span_streams_to_the_file(big, tmp_path, monkeypatch, capsys):
    out = tmp_path / "big.json"
    argv = ["flame", str(big), "-o", str(out), "--frames", "ALL"]
    child = subprocess.run([sys.executable, "-c", PEAK, *argv], capture_output=True, text=True)
    assert child.returncode == 0, child.stderr
    before, peak = map(int, child.stdout.split()[-2:])
    doc = strict_json(out.read_text())
    assert len(doc["traceEvents"]) > 3 * BIG  # frames, frame_ms, x, the modulo columns
    assert peak - before < 60_000, (before, peak)  # kB: far less than the events as dicts

    # a progress bar on a terminal only, and never with --no-progress
    class Terminal:
        def __init__(self):
            self.text = ""

        def write(self, s):
            self.text += s

        def flush(self):
            pass

        def isatty(self):
            return True

    for extra, shown in (([], True), (["--no-progress"], False)):
        monkeypatch.setattr(sys, "stderr", Terminal())
        assert main([*argv, *extra]) == 0
        text = sys.stderr.text
        assert ("100%" in text and text.endswith("\n") and f"flame {out}" in text) == shown, text
    capsys.readouterr()

    # a failure half way leaves the earlier output as it was and no temporary file
    out.write_text("earlier")
    capture, calls, real = zel.load(big), [], trace.counter_samples

    def interrupt(*args):
        calls.append(args)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real(*args)

    monkeypatch.setattr(trace, "counter_samples", interrupt)
    with pytest.raises(KeyboardInterrupt):
        trace.write(capture, select_frames(capture, "ALL"), str(out))
    assert out.read_text() == "earlier" and sorted(p.name for p in tmp_path.iterdir()) == [
        "big.json"
    ]
