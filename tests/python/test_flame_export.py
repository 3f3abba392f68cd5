# `zel flame`: trace events and speedscope profiles read back, from the capture a child
# recorded (conftest.RECORD) and from streams built byte by byte around its flame
# frames: which frames the counters cover, non-finite values, writing as a stream.

import io
import json
import math
import random
import sys

import pytest
from conftest import HOSTILE, decl, frame, header, run_python

import zel
from zel.cli import main
from zel.export import speedscope, timeline, trace

MAIN = {("frame",), ("frame", "update"), ("frame", "update", "physics"), ("frame", "draw")}
WORKER = {("job",), ("job", "read"), ("job", HOSTILE)}


def export(capture, capsys, fmt, *args):
    # The document `zel flame` writes, read refusing NaN and Infinity, and what it says.
    out = capture.parent / f"{fmt}.json"
    assert main(["flame", str(capture), "-o", str(out), "--format", fmt, *args]) == 0
    return json.loads(out.read_text(), parse_constant={}.__getitem__), capsys.readouterr().out


def nested_paths(slices):
    # The slices of one thread -> the sorted name paths of all, checking that each lies
    # within the one enclosing it (siblings do not overlap).
    paths, stack = [], []
    for e in sorted(slices, key=lambda e: (e["ts"], -e["dur"])):
        name, start, stop = e["name"], e["ts"], e["ts"] + e["dur"]
        while stack and start >= stack[-1][2]:
            stack.pop()
        assert not stack or stop <= stack[-1][2], f"{name} ends after its parent"
        stack.append((name, start, stop))
        paths.append(tuple(s[0] for s in stack))
    return sorted(paths)


def counters(events):  # {track: [(ts, value)]}
    out = {}
    for e in (e for e in events if e["ph"] == "C"):
        out.setdefault(e["name"], []).append((e["ts"], e["args"]["value"]))
    return out


def test_trace_events_and_speedscope_profiles(recorded, capsys, monkeypatch):
    frame_ms = [float(v) for v in zel.load(recorded).columns["frame_ms"]]
    # Written a few events at a time, so that what follows reads chunks joined up.
    for module in (trace, speedscope, timeline):
        monkeypatch.setattr(module, "CHUNK", 3)
    # Which frames get a frame slice and counter samples, and how thinly: (--frames and
    # options, frames track, frames of the loss and HOSTILE samples). ALL covers the
    # first flame frame to the last (0..4); 1:5 starts without flame data. The last row,
    # the default, is looked at closely below.
    for options, slices, loss, hostile in [
        (["ALL", "--counters", "all"], range(6), range(6), [3]),
        (["ALL", "--counters", "none"], range(5), [], []),
        (["ALL", "--counter-every", "2"], range(5), [0, 2, 4], [3]),
        (["ALL", "--counter-every", "4", "--counters", "all"], range(6), [0, 4], [3]),
        (["1:5"], range(1, 5), range(1, 5), [3]),
        (["ALL"], range(5), range(5), [3]),
    ]:
        doc, said = export(recorded, capsys, "perfetto", "--frames", *options)
        events = doc["traceEvents"]
        # one slice per frame, one after another, as long as its frame time (µs; the
        # marks of flame frames are known to some µs, the rest to 0.1 ms)
        frames = [e for e in events if e.get("cat") == "frame"]
        span = {e["args"]["frame"]: (e["ts"], e["ts"] + e["dur"]) for e in frames}
        assert list(span) == list(slices), options
        for a, b in zip(frames, frames[1:]):
            assert a["ts"] + a["dur"] - 0.001 <= b["ts"] <= a["ts"] + a["dur"] + 100
            assert b["dur"] == pytest.approx(frame_ms[b["args"]["frame"]] * 1000, abs=100)
        # each flame frame's outermost main-thread scope lies within its frame
        flamed = [k for k in (0, 2, 4) if k in slices]
        outer = [(e["ts"], e["ts"] + e["dur"]) for e in events if e["name"] == "frame"]
        held = [k for k, (s, t) in span.items() for a, b in outer if s - 100 <= a <= b <= t + 100]
        assert held == flamed and len(outer) == len(flamed), options
        tracks = counters(events)
        assert tracks.get("loss (nats)", []) == [(span[k][0], 1.5 * k) for k in loss], options
        assert tracks.get(HOSTILE, []) == [(span[k][0], 7.0) for k in hostile], options

    assert said.endswith("ui.perfetto.dev, all 3 flame frames, 2 threads, 21 scopes\n")
    tids = {e["args"]["name"]: e["tid"] for e in events if e["name"] == "thread_name"}
    assert sorted(tids) == ["frames", "thread 1", "thread 2"]
    for thread, expected in (("thread 1", MAIN), ("thread 2", WORKER)):
        xs = [e for e in events if e["ph"] == "X" and e["tid"] == tids[thread]]
        assert nested_paths(xs) == sorted(list(expected) * 3)  # each flame frame's scopes once
    assert len(tracks) == 10  # 8 system columns, loss, HOSTILE
    # a column that never changes (no I/O recorded) is one sample: it holds until the next
    assert tracks["io_ms (ms)"] == [(span[0][0], 0.0)] and len(tracks["io_MB (MB)"]) == 1

    doc, said = export(recorded, capsys, "speedscope")  # the slowest frame with flame data
    assert said.endswith(": speedscope profile, slowest frame 4, 2 threads, 7 scopes\n")
    names = [f["name"] for f in doc["shared"]["frames"]]
    for profile, name, expected in zip(doc["profiles"], ("thread 1", "thread 2"), (MAIN, WORKER)):
        events = profile["events"]
        opened = [names[e["frame"]] for e in events if e["type"] == "O"]
        assert profile["name"] == name and sorted(opened) == sorted(p[-1] for p in expected)
        assert [profile["startValue"], profile["endValue"]] == [events[0]["at"], events[-1]["at"]]


def test_counter_samples_agree_with_and_without_numpy():
    np = pytest.importorskip("numpy")
    rng = random.Random(7)
    pool = [0.0, 1.0, 1.0, 2.5, math.nan, math.inf, -math.inf]
    for _ in range(300):
        frames = sorted(rng.sample(range(100), rng.randrange(0, 40)))
        values = [rng.choice(pool) for _ in frames]
        start, every = rng.randrange(0, 10), rng.choice([1, 2, 3, 7])
        kept, samples, bad = want = trace.counter_samples(frames, values, start, every)
        got = trace.counter_samples(np.array(frames), np.array(values), start, every)
        assert (got[0].tolist(), got[1].tolist(), got[2]) == want
        assert bad == sum(not math.isfinite(v) for v in values)
        assert len({(k - start) // every for k in kept}) == len(kept)  # one per run of N
        assert all(a != b for a, b in zip(samples, samples[1:]))  # only changes


def with_flame(recorded, path, columns, rows, at):
    # A stream of `rows` (frame_ms, every other system value, user column "x") whose
    # frames `at` maps carry the flame frame of that number in `recorded`.
    flame, x = zel.load(recorded).flame, len(columns)
    data = [header(columns, flame=True), decl(x, "x")]
    for k, (ms, other, v) in enumerate(rows):
        data.append(frame([ms] + [other] * (x - 1), [(x, v)], flame.get(at.get(k), b"")))
    path.write_bytes(b"".join(data))
    return path


def test_non_finite_values_are_left_out_and_counted(recorded, system_columns, tmp_path, capsys):
    values = [1.0, math.inf, math.nan, 2.0, -math.inf, 2.0]
    frame_ms = [0.0, 5.0, math.inf, 5.0, math.nan, 5.0]
    rows = zip(frame_ms, [1.0] * 6, values)
    path = with_flame(recorded, tmp_path / "nf.zel", system_columns, rows, {0: 0, 5: 4})
    export(path, capsys, "speedscope", "--frames", "ALL")  # no NaN or Infinity in either
    doc, said = export(path, capsys, "perfetto", "--frames", "ALL")
    assert "2 threads" in said and doc["otherData"]["nonfinite_samples"] == {"frame_ms": 2, "x": 3}
    frames = [e for e in doc["traceEvents"] if e.get("cat") == "frame"]
    assert [e["args"].get("frame_ms") for e in frames] == [0.0, 5.0, None, 5.0, None, 5.0]
    assert [v for _, v in counters(doc["traceEvents"])["x"]] == [1.0, 2.0]


PEAK = """
import resource, zel.cli, zel.export.trace
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert zel.cli.main(argv) == 0
print(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_a_long_span_streams_to_the_file(recorded, system_columns, tmp_path, monkeypatch):
    # 100,000 frames, the three flame frames at 0, 50,000 and 99,999, and "x" changing
    # on every frame: a trace of some 400,000 events
    n = 100_000
    rows = ((1.0 + k % 3, float(k % 5), float(k)) for k in range(n))
    at = {0: 0, n // 2: 2, n - 1: 4}
    big = with_flame(recorded, tmp_path / "big.zel", system_columns, rows, at)
    out = tmp_path / "big.json"
    argv = ["flame", str(big), "-o", str(out), "--frames", "ALL"]
    child = run_python(f"argv = {argv!r}\n", PEAK)  # standard error is no terminal: no bar
    before, peak = map(int, child.stdout.split()[-2:])
    assert len(json.loads(out.read_text())["traceEvents"]) > 3 * n  # frames, frame_ms, x, ...
    assert peak - before < 60_000 and child.stderr == ""  # kB: far less than the events as dicts

    # a progress bar on a terminal, unless --no-progress
    for extra in ([], ["--no-progress"]):
        monkeypatch.setattr(sys, "stderr", io.StringIO())
        sys.stderr.isatty = lambda: True
        assert main([*argv, *extra]) == 0
        text = sys.stderr.getvalue()
        assert ("100%" in text and text.endswith("\n") and f"flame {out}" in text) == (not extra)

    # a failure half way (Ctrl-C) leaves the earlier output as it was and no temporary file
    def interrupt(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(trace, "counter_samples", interrupt)
    out.write_text("earlier")
    assert main(argv) == 130 and out.read_text() == "earlier"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.json", "big.zel"]
