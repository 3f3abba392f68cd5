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
    thread with a complete event per scope (args: the scope's data text, `open` for a
    scope still open when its thread reported); a "frames" track with an event per
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
            event = {
                "ph": "X",
                "cat": "scope",
                "name": node.scope.name,
                "pid": pid,
                "tid": tid,
                "ts": _us(node.start - origin),
                "dur": _us(node.stop - node.start),
            }
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
