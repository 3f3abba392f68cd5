"""Flame frames of a capture as files that trace viewers open.

    from zel import load, trace_export
    capture = load("capture.zel")
    selection = trace_export.select_frames(capture, "SLOWEST", count=3)
    events = trace_export.to_trace_events(capture, selection)   # ui.perfetto.dev
    profile = trace_export.to_speedscope(capture, selection)    # speedscope

Both return plain dicts ready for `json.dump`.

Where frames lie in time. Flame frames carry nanosecond times on the recorder's clock;
the other frames carry only `frame_ms`, the time since the previous frame mark (0.0 for
the first frame). A frame with flame data has its mark placed at the end of its flame
frame (the end of its last scope, a little before the mark); any other frame's mark
is the nearest such mark before it plus the running sum of frame_ms since (frames
before the first flame frame count back from it). Anchoring at every flame frame
rather than at the first only keeps frames and scopes together over long captures:
frame_ms sums drift from the flame clock by some microseconds a second. Frame k spans
the frame_ms[k] before its mark, and never starts before the frame before it ends (the
first frame, whose frame_ms is 0, spans from its first scope to its mark). Its column
values (a counter sample each) are placed at the start of that span, so that a counter
reads, over a frame, the values recorded for that frame.

Threads. A flame frame names a thread only when the recorder made it; the others are
"thread 1", "thread 2", ... in the order their first scope began, counted over the
exported frames. A thread is told apart from another by its name and the time it
opened its first scope.

Output times are relative to the earliest exported instant (`otherData.origin_ns` in
trace events holds it on the recorder's clock): absolute nanoseconds do not survive
the doubles of JSON readers.
"""

import math
import os
from collections import namedtuple

from . import flame as _flame
from .stats import slowest_frames

SCHEMA_URL = "https://www.speedscope.app/file-format-schema.json"


class SelectionError(ValueError):
    """A frame selection that is malformed or picks no frame with flame data."""


Selection = namedtuple("Selection", "frames span label")
Selection.__doc__ = """Frames to export: `frames`, ascending frame numbers whose flame data is
exported (frames without any are skipped); `span`, the half-open range (start, stop)
of frame numbers whose frame events and counter samples are exported; `label`, words
for messages ("slowest frame 152", "4 frames (100..103)")."""


def _frame_ms(capture, k):
    value = float(capture.columns["frame_ms"][k])
    return 0.0 if math.isnan(value) else value


def _range_label(frames):
    if len(frames) == 1:
        return f"frame {frames[0]}"
    return f"{len(frames)} frames ({frames[0]}..{frames[-1]})"


def select_frames(capture, which="SLOWEST", count=1):
    """The frames `which` picks, as a Selection:

    - "SLOWEST": the `count` frames with flame data that have the largest frame_ms;
      the span reaches from the first to the last of them.
    - "ALL": every frame with flame data; the span is the whole capture.
    - "A:B": the frames A <= k < B, read like a Python slice (either side may be left
      out; negative numbers count from the end); "N" alone is frame N.

    Raises SelectionError for a malformed choice, an empty range, a capture recorded
    without flame frames, or a range none of whose frames carries flame data."""
    text = str(which).strip()
    n = len(capture)
    word = text.upper()
    if word not in ("SLOWEST", "ALL"):
        frames = _parse_range(text, n)
        if not frames:
            raise SelectionError(f"--frames {text} selects no frame (the capture has frames 0:{n})")
    if not capture.flame:
        why = "was recorded without flame frames (ZEL_RECORD_FLAME=1 turns them on)"
        if capture.flame_enabled:
            why = "holds no flame frame"
        raise SelectionError(f"{capture.path} {why}")
    flame_frames = sorted(capture.flame)
    if word == "ALL":
        return Selection(flame_frames, (0, n), f"all {len(flame_frames)} flame frames")
    if word == "SLOWEST":
        if count < 1:
            raise SelectionError(f"--count must be at least 1, not {count}")
        slowest = sorted(slowest_frames(capture, flame_frames)[:count])
        label = f"slowest {_range_label(slowest)}" if count > 1 else f"slowest frame {slowest[0]}"
        return Selection(slowest, (slowest[0], slowest[-1] + 1), label)
    with_flame = [k for k in frames if k in capture.flame]
    if not with_flame:
        near = ", ".join(str(k) for k in flame_frames[:3])
        raise SelectionError(
            f"no frame in {text} carries flame data ({len(flame_frames)} of {n} frames do: {near}, ...)"
        )
    return Selection(with_flame, (frames[0], frames[-1] + 1), _range_label(frames))


def _parse_range(text, n):
    parts = text.split(":")
    try:
        bounds = [int(p) if p.strip() else None for p in parts]
    except ValueError:
        bounds = None
    if not bounds or len(bounds) > 2 or (len(bounds) == 1 and bounds[0] is None):
        raise SelectionError(f"bad --frames {text!r}: expected SLOWEST, ALL, a frame number or A:B")
    if len(bounds) == 1:
        k = bounds[0] + n if bounds[0] < 0 else bounds[0]
        return [k] if 0 <= k < n else []
    return list(range(n)[slice(*bounds)])


def _as_selection(capture, frames):
    if isinstance(frames, Selection):
        return frames
    frames = sorted(set(int(k) for k in frames))
    if not frames:
        raise SelectionError("no frame selected")
    return Selection(frames, (frames[0], frames[-1] + 1), _range_label(frames))


class _Export:
    """What both formats are made of: the selected flame frames decoded, each thread's
    scopes cleaned into properly nested intervals, and the frame marks in time."""

    def __init__(self, capture, frames):
        sel = _as_selection(capture, frames)
        self.capture, self.selection = capture, sel
        decoded, seen = [], set()
        for k in sel.frames:
            data = capture.flame.get(k)
            if data is None:
                continue
            try:
                frame = _flame.decode(data)
            except _flame.FlameError as e:
                raise _flame.FlameError(f"frame {k}: damaged flame data: {e}") from None
            # A frame without scopes carries the newest earlier flame frame again.
            if frame.index not in seen:
                seen.add(frame.index)
                decoded.append((k, frame))
        self.flame_frames = decoded

        start, stop = sel.span
        self.span = range(start, stop)
        self.frame_ms = [_frame_ms(capture, k) for k in self.span]
        self.frame_times = self._place(decoded, start)
        self.threads = self._threads()
        first = [self.frame_times[0][0]] if self.frame_times else []
        first += [f.start_ns - self.ref_ns for _, f in decoded]
        self.origin_ns = self.ref_ns + math.floor(min(first)) if first else self.ref_ns

    def _place(self, decoded, start):
        """(start, stop) of each frame of the span, ns after `self.ref_ns` (the end of
        the first flame frame), as floats: each frame's mark is the last flame frame's
        end at or before it (the first one for frames before any) plus the frame_ms
        since; a frame starts no earlier than the one before it ends."""
        ends = {k: f.stop_ns for k, f in decoded}
        self.ref_ns = decoded[0][1].stop_ns if decoded else 0
        total, sums = 0.0, []  # running sum of frame_ms, in ns
        for ms in self.frame_ms:
            total += ms * 1e6
            sums.append(total)
        ref_mark, ref_sum = 0.0, sums[decoded[0][0] - start] if decoded else 0.0
        out, prev = [], -math.inf
        for i, (k, ms) in enumerate(zip(self.span, self.frame_ms)):
            if k in ends:
                ref_mark, ref_sum = ends[k] - self.ref_ns, sums[i]
            mark = ref_mark + sums[i] - ref_sum
            begin = mark - ms * 1e6
            if k == 0 and decoded and decoded[0][0] == 0:
                # No mark before the first frame: it starts with its first scope.
                begin = min(begin, decoded[0][1].start_ns - self.ref_ns)
            begin = max(begin, prev)
            prev = max(mark, begin)
            out.append((begin, prev))
        return out

    def _threads(self):
        """[(name, [cleaned roots])] in the order the threads began."""
        by_key = {}
        for _, frame in self.flame_frames:
            for t in frame.threads:
                by_key.setdefault((t.name, t.start_ns), []).extend(t.scopes)

        def began(key):
            name, start = key
            return (start is None, start or 0, name)

        out, used, unnamed = [], set(), 0
        for key in sorted(by_key, key=began):
            name = key[0]
            if not name:
                unnamed += 1
                name = f"thread {unnamed}"
            base, i = name, 1
            while name in used:
                i += 1
                name = f"{base} ({i})"
            used.add(name)
            out.append((name, _clean(by_key[key])))
        return out

    def frame_span_ns(self, i):
        """(start, stop) of the i-th frame of the span, in ns after the origin."""
        a, b = self.frame_times[i]
        shift = self.ref_ns - self.origin_ns
        return shift + a, shift + b

    def columns(self):
        """(column name, unit, [value per frame of the span]) for every column."""
        start, stop = self.span.start, self.span.stop
        for name, col in self.capture.columns.items():
            values = [float(v) for v in col[start:stop]]
            yield name, self.capture.units.get(name, ""), values


Node = namedtuple("Node", "scope start stop children")


def _clean(scopes):
    """Scopes as Nodes whose times nest: every child within its parent, siblings one
    after another. Times are clamped where they break that (an open scope runs to the
    end of its thread's report; the same scope may come in two frames' reports, the
    second time with its real end: the later report wins). No recursion: profiled
    recursive functions make deep trees."""
    roots = []
    stack = [(roots, scopes, None, None)]
    while stack:
        out, items, lo, hi = stack.pop()
        best = {}
        for s in items:
            key = (s.id, s.start_ns)
            kept = best.get(key)
            if kept is None or (kept.open, -kept.stop_ns) > (s.open, -s.stop_ns):
                best[key] = s  # closed over open, then the later end
        floor = lo
        for s in sorted(best.values(), key=lambda s: s.start_ns):
            start = s.start_ns if floor is None else max(s.start_ns, floor)
            stop = max(s.stop_ns if hi is None else min(s.stop_ns, hi), start)
            node = Node(s, start, stop, [])
            out.append(node)
            stack.append((node.children, s.children, start, stop))
            floor = stop
    return roots


def _us(ns):
    return round(ns / 1000.0, 3)


def to_trace_events(capture, frames):
    """The selected frames as a trace-event JSON object (ui.perfetto.dev,
    chrome://tracing): one process; a track per thread with a complete event per
    scope (args: the scope's data text, `open` for a scope still open when its
    thread reported); a "frames" track with an event per frame of the span; a
    counter track per column, named "name (unit)", a sample per frame of the span
    (none where the frame has no value). `frames`: a Selection or frame numbers."""
    ex = _Export(capture, frames)
    pid = 1
    events = [
        _meta(pid, None, "process_name", {"name": f"zel {os.path.basename(capture.path)}"}),
    ]
    frames_tid = len(ex.threads) + 1
    events.append(_meta(pid, frames_tid, "thread_name", {"name": "frames"}))
    events.append(_meta(pid, frames_tid, "thread_sort_index", {"sort_index": -1}))
    for tid, (name, _) in enumerate(ex.threads, 1):
        events.append(_meta(pid, tid, "thread_name", {"name": name}))
        events.append(_meta(pid, tid, "thread_sort_index", {"sort_index": tid}))

    with_flame = {k for k, _ in ex.flame_frames}
    for i, k in enumerate(ex.span):
        start, stop = ex.frame_span_ns(i)
        args = {"frame": k, "frame_ms": ex.frame_ms[i], "flame": k in with_flame}
        events.append(
            {"ph": "X", "cat": "frame", "name": f"frame {k}", "pid": pid, "tid": frames_tid,
             "ts": _us(start), "dur": _us(stop - start), "args": args}
        )
    origin = ex.origin_ns
    for tid, (_, roots) in enumerate(ex.threads, 1):
        for node, _ in _flame.walk(roots):
            event = {"ph": "X", "cat": "scope", "name": node.scope.name, "pid": pid, "tid": tid,
                     "ts": _us(node.start - origin), "dur": _us(node.stop - node.start)}
            args = {}
            if node.scope.data:
                args["data"] = node.scope.data
            if node.scope.open:
                args["open"] = True
            if args:
                event["args"] = args
            events.append(event)
    for name, unit, values in ex.columns():
        track = f"{name} ({unit})" if unit else name
        for i, v in enumerate(values):
            if not math.isnan(v):
                ts = _us(ex.frame_span_ns(i)[0])
                events.append({"ph": "C", "name": track, "pid": pid, "ts": ts, "args": {"value": v}})
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {
            "capture": capture.path,
            "frames": ex.selection.label,
            "origin_ns": origin,
        },
    }


def _meta(pid, tid, name, args):
    event = {"ph": "M", "name": name, "pid": pid, "args": args}
    if tid is not None:
        event["tid"] = tid
    return event


def to_speedscope(capture, frames):
    """The selected frames in speedscope's file format: one evented profile per
    thread, times in ns after the earliest exported instant, an open and a close
    event per scope (properly nested and in time order; a scope still open when its
    thread reported closes where its report ends). `frames`: a Selection or frame
    numbers."""
    ex = _Export(capture, frames)
    origin = ex.origin_ns
    names, index = [], {}
    profiles = []
    for thread_name, roots in ex.threads:
        events = []

        # (node, False) opens node, (node, True) closes it
        stack = [(node, False) for node in reversed(roots)]
        while stack:
            node, closing = stack.pop()
            name = node.scope.name
            if name not in index:
                index[name] = len(names)
                names.append({"name": name})
            if closing:
                events.append({"type": "C", "frame": index[name], "at": node.stop - origin})
                continue
            events.append({"type": "O", "frame": index[name], "at": node.start - origin})
            stack.append((node, True))
            stack.extend((child, False) for child in reversed(node.children))
        profiles.append(
            {
                "type": "evented",
                "name": thread_name,
                "unit": "nanoseconds",
                "startValue": events[0]["at"] if events else 0,
                "endValue": events[-1]["at"] if events else 0,
                "events": events,
            }
        )
    return {
        "$schema": SCHEMA_URL,
        "shared": {"frames": names},
        "profiles": profiles,
        "name": f"{os.path.basename(capture.path)}: {ex.selection.label}",
        "activeProfileIndex": 0,
        "exporter": f"zel {_version()}",
    }


def _version():
    try:
        from importlib.metadata import version

        return version("zel")
    except Exception:  # noqa: BLE001 - metadata is missing when run from a source tree
        return "(source tree)"
