"""Flame frames as trace-event JSON, which ui.perfetto.dev and chrome://tracing open.

    from zel import load
    from zel.export import common, trace
    capture = load("capture.zel")
    selection = common.select_frames(capture, "SLOWEST", count=3)
    events = trace.to_trace_events(capture, selection)   # a dict ready for json.dump

Frames and scopes are placed in time as `timeline` says. `otherData.origin_ns` holds
the recorder's clock time that the output's times count from.
"""

import math
import os

from .. import flame as _flame
from .common import write_json
from .timeline import Timeline

DESCRIPTION = "trace events for ui.perfetto.dev"


def _us(ns):
    return round(ns / 1000.0, 3)


def to_trace_events(capture, frames):
    """The selected frames as a trace-event JSON object: one process; a track per
    thread with a complete event per scope, a scope longer than a frame once and
    clipped to the frames shown (args: the scope's data text; for a clipped scope or
    one still open when its thread last reported, `full_ms`, its full known duration,
    and `began_earlier` and `open` where they hold); a "frames" track with an event per
    frame of the span; a counter track per column, named "name (unit)", a sample per
    frame of the span (none where the frame has no value). `frames`: a Selection or
    frame numbers."""
    ex = Timeline(capture, frames)
    pid = 1
    events = [_meta(pid, None, "process_name", {"name": f"zel {os.path.basename(capture.path)}"})]
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
            {
                "ph": "X",
                "cat": "frame",
                "name": f"frame {k}",
                "pid": pid,
                "tid": frames_tid,
                "ts": _us(start),
                "dur": _us(stop - start),
                "args": args,
            }
        )
    origin = ex.origin_ns
    for tid, (_, roots) in enumerate(ex.threads, 1):
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
            events.append(event)
    for name, unit, values in ex.columns():
        track = f"{name} ({unit})" if unit else name
        for i, v in enumerate(values):
            if not math.isnan(v):
                ts = _us(ex.frame_span_ns(i)[0])
                events.append(
                    {"ph": "C", "name": track, "pid": pid, "ts": ts, "args": {"value": v}}
                )
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {"capture": capture.path, "frames": ex.selection.label, "origin_ns": origin},
    }


def _meta(pid, tid, name, args):
    event = {"ph": "M", "name": name, "pid": pid, "args": args}
    if tid is not None:
        event["tid"] = tid
    return event


def write(capture, frames, path):
    """Writes the trace events of `frames` to `path`; returns (threads, scopes) in it."""
    doc = to_trace_events(capture, frames)
    write_json(doc, path)
    events = doc["traceEvents"]
    scopes = sum(1 for e in events if e.get("cat") == "scope")
    threads = sum(1 for e in events if e["name"] == "thread_name") - 1  # less "frames"
    return threads, scopes
