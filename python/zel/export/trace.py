"""Flame frames as trace-event JSON, which ui.perfetto.dev and chrome://tracing open.

    from zel import load
    from zel.export import common, trace
    capture = load("capture.zel")
    selection = common.select_frames(capture, "SLOWEST", count=3)
    trace.write(capture, selection, "slow.json")          # streamed to the file
    events = trace.to_trace_events(capture, selection)   # the same, as a dict

Frames and scopes are placed in time as `timeline` says. `otherData.origin_ns` holds
the recorder's clock time that the output's times count from.

Which frames get a frame slice and counter samples (`counters`):

- "span" (the default): the frames of the selection's span, from its first frame to
  its last (`common.Selection`; for every flame frame, from the first to the last);
- "all": every frame of the capture;
- "none": no counter samples; frame slices over the span as for "span".

A counter sample holds its value until the next one, so a sample is written only
where a column's value changes: a frame whose value equals the one before it (or
that has no value) adds nothing. `counter_every` N > 1 thins the samples out: of each
run of N frames, counted from the first frame the counters cover, only the first that
carries a value gives a sample. Frame slices stay one per frame.

JSON holds no NaN or infinity: a recorded NaN or infinite value gives no sample, and
`otherData.nonfinite_samples` counts them per column (those of the frames covered,
before thinning out); a frame slice whose frame_ms is not finite has no `frame_ms`
in its args.

The file is written as a stream, a chunk of events at a time, to a temporary file
beside the output that is renamed into place at the end (`common.replacing`).
"""

import io
import json
import math
import os

from .. import flame as _flame
from .common import QUIET, Progress, open_replacing
from .timeline import Timeline

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

DESCRIPTION = "trace events for ui.perfetto.dev"
CHUNK = 16384  # events formatted and written at a time
COUNTERS = ("span", "all", "none")


def _us(ns):
    return round(ns / 1000.0, 3)


def _dumps(obj):
    return json.dumps(obj, separators=(",", ":"), allow_nan=False)


def counter_samples(frames, values, start, every=1):
    """The samples of one counter track: (frames, values, non-finite count) for a
    column's `frames` (ascending) and `values`, NumPy arrays for NumPy arrays, lists
    otherwise. Non-finite values are left out and
    counted; then, of each run of `every` frames from frame `start` on, the first
    value only; then each value equal to the one kept before it is left out."""
    if _np is not None and isinstance(values, _np.ndarray):
        frames = _np.asarray(frames)
        finite = _np.isfinite(values)
        bad = len(values) - int(_np.count_nonzero(finite))
        f, v = frames[finite], values[finite]
        if every > 1:
            first = _changes((f - start) // every)
            f, v = f[first], v[first]
        changed = _changes(v)
        return f[changed], v[changed], bad
    out_f, out_v, bad, block, last = [], [], 0, None, None
    for k, x in zip(frames, values):
        x = float(x)
        if not math.isfinite(x):
            bad += 1
            continue
        b = (k - start) // every
        if b == block:
            continue
        block = b
        if x != last:
            last = x
            out_f.append(int(k))
            out_v.append(x)
    return out_f, out_v, bad


def _list(a):
    return a.tolist() if hasattr(a, "tolist") else a


def _changes(a):
    """True where a NumPy array's item differs from the one before it, and first."""
    out = _np.ones(len(a), dtype=bool)
    _np.not_equal(a[1:], a[:-1], out=out[1:])
    return out


class _Events:
    """Writes the comma-separated events of `traceEvents` in chunks."""

    def __init__(self, out):
        self.out, self.first, self.count = out, True, 0

    def write(self, texts):
        if texts:
            self.out.write(("" if self.first else ",") + ",".join(texts))
            self.first = False
            self.count += len(texts)


def _meta(pid, tid, name, args):
    event = {"ph": "M", "name": name, "pid": pid, "args": args}
    if tid is not None:
        event["tid"] = tid
    return _dumps(event)


def _frame_slices(ex, events, pid, tid, bar):
    """A slice per frame of the span on the frames track, a chunk at a time."""
    with_flame = {k for k, _ in ex.flame_frames}
    starts, stops = ex.frame_starts, ex.frame_stops
    head = '{"ph":"X","cat":"frame","name":"frame %d","pid":' + f'{pid},"tid":{tid}'
    head += ',"ts":%.3f,"dur":%.3f,"args":{"frame":%d'
    with_ms, without_ms = head + ',"frame_ms":%r,"flame":%s}}', head + ',"flame":%s}}'
    base = ex.span.start
    for a in range(base, ex.span.stop, CHUNK):
        b = min(a + CHUNK, ex.span.stop)
        texts = []
        for k, ms in zip(range(a, b), ex.frame_ms(a, b)):
            i = k - base
            start, flame = starts[i], "true" if k in with_flame else "false"
            dur = (stops[i] - start) / 1000.0
            if math.isfinite(ms):
                texts.append(with_ms % (k, start / 1000.0, dur, k, ms, flame))
            else:
                texts.append(without_ms % (k, start / 1000.0, dur, k, flame))
        events.write(texts)
        bar.update(b - base)


def _scope_slices(ex, events, pid):
    """A complete event per slice of every thread; returns how many."""
    origin, n = ex.origin_ns, 0
    for tid, (_, roots) in enumerate(ex.threads, 1):
        texts = []
        for node, _ in _flame.walk(roots):
            scope = node.scope
            event = {
                "ph": "X",
                "cat": "scope",
                "name": scope.name,
                "pid": pid,
                "tid": tid,
                "ts": _us(node.start_ns - origin),
                "dur": _us(node.stop_ns - node.start_ns),
            }
            args = {"data": scope.data} if scope.data else {}
            if node.partial:
                args["full_ms"] = scope.duration_ns / 1e6
                if node.began_earlier:
                    args["began_earlier"] = True
                if scope.open:
                    args["open"] = True
            if args:
                event["args"] = args
            texts.append(_dumps(event))
            if len(texts) == CHUNK:
                events.write(texts)
                n, texts = n + len(texts), []
        events.write(texts)
        n += len(texts)
    return n


def _counters(ex, events, pid, every, bar, done):
    """A counter track per column, named "name (unit)"; returns {column: samples
    left out as non-finite} for the columns that had any."""
    starts, base, length = ex.frame_starts, ex.span.start, len(ex.span)
    if _np is not None:
        starts = _np.frombuffer(starts, dtype=_np.float64)
    units, nonfinite = ex.capture.units, {}
    for name in list(ex.capture.columns.keys()):
        unit = units.get(name, "")
        frames, values, bad = counter_samples(*ex.samples(name), base, every)
        if bad:
            nonfinite[name] = bad
        head = f'{{"ph":"C","name":{_dumps(f"{name} ({unit})" if unit else name)},"pid":{pid}'
        template = head.replace("%", "%%") + ',"ts":%.3f,"args":{"value":%r}}'
        for a in range(0, len(frames), CHUNK):
            ks = frames[a : a + CHUNK]
            if _np is not None and isinstance(ks, _np.ndarray):
                ts = (starts[ks - base] / 1000.0).tolist()
            else:
                ts = [starts[k - base] / 1000.0 for k in ks]
            events.write(list(map(template.__mod__, zip(ts, _list(values[a : a + CHUNK])))))
            bar.update(done + frames[min(a + CHUNK, len(frames)) - 1] - base)
        done += length
        bar.update(done)
    return nonfinite


def _quiet(total):
    return QUIET


def write_trace(
    out, capture, frames, counters="span", counter_every=1, progress=_quiet, damaged=None
):
    """Writes the selected frames as a trace-event JSON object to the text file `out`:
    one process; a track per thread with a complete event per scope, a scope longer
    than a frame once and clipped to the frames shown (args: the scope's data text; for
    a clipped scope or one still open when its thread last reported, `full_ms`, its
    full known duration, and `began_earlier` and `open` where they hold); a "frames"
    track with a slice per frame; a counter track per column (see the module's
    docstring for which frames and samples). `frames`: a Selection or frame numbers;
    `progress`: a function of the Progress kind (label, total) -> bar, called once;
    `damaged`: see `Timeline`. Returns (threads, scopes) written."""
    if counters not in COUNTERS:
        raise ValueError(f"counters must be one of {', '.join(COUNTERS)}, not {counters!r}")
    if counter_every < 1:
        raise ValueError(f"counter_every must be at least 1, not {counter_every}")
    whole = (0, len(capture)) if counters == "all" else None
    ex = Timeline(capture, frames, whole, damaged)
    pid = 1
    out.write('{"traceEvents":[')
    events = _Events(out)
    basename = os.path.basename(capture.path)
    meta = [_meta(pid, None, "process_name", {"name": f"zel {basename}"})]
    frames_tid = len(ex.threads) + 1
    meta.append(_meta(pid, frames_tid, "thread_name", {"name": "frames"}))
    meta.append(_meta(pid, frames_tid, "thread_sort_index", {"sort_index": -1}))
    for tid, (name, _) in enumerate(ex.threads, 1):
        meta.append(_meta(pid, tid, "thread_name", {"name": name}))
        meta.append(_meta(pid, tid, "thread_sort_index", {"sort_index": tid}))
    events.write(meta)
    scopes = _scope_slices(ex, events, pid)

    tracks = 1 + (0 if counters == "none" else len(capture.columns))
    with progress(len(ex.span) * tracks) as bar:
        _frame_slices(ex, events, pid, frames_tid, bar)
        nonfinite = {}
        if counters != "none":
            nonfinite = _counters(ex, events, pid, counter_every, bar, len(ex.span))
    other = {
        "capture": capture.path,
        "frames": ex.selection.label,
        "origin_ns": ex.origin_ns,
        "span": [ex.span.start, ex.span.stop],
        "counters": counters,
        "counter_every": counter_every,
        "nonfinite_samples": nonfinite,
    }
    out.write(f'],"displayTimeUnit":"ms","otherData":{_dumps(other)}}}')
    return len(ex.threads), scopes


def to_trace_events(capture, frames, counters="span", counter_every=1):
    """What `write_trace` writes, as a dict ready for json.dump."""
    out = io.StringIO()
    write_trace(out, capture, frames, counters, counter_every)
    return json.loads(out.getvalue())


def write(capture, frames, path, counters="span", counter_every=1, progress=True, damaged=None):
    """Writes the trace events of `frames` to `path` (see `write_trace`), with a
    progress bar on a terminal unless `progress` is false; returns (threads, scopes)
    in it."""

    def bar(total):
        return Progress(f"flame {path}", total, progress)

    with open_replacing(path) as f:
        return write_trace(f, capture, frames, counters, counter_every, bar, damaged)
