"""Flame frames in speedscope's file format: one evented profile per thread.

    from zel import load
    from zel.export import common, speedscope
    capture = load("capture.zel")
    profile = speedscope.to_speedscope(capture, common.select_frames(capture, "ALL"))

Frames and scopes are placed in time as `timeline` says.
"""

import os

from .common import write_json
from .timeline import Timeline

SCHEMA_URL = "https://www.speedscope.app/file-format-schema.json"
DESCRIPTION = "speedscope profile"


def to_speedscope(capture, frames):
    """The selected frames as a speedscope file (a dict ready for json.dump): one
    evented profile per thread, times in ns after the earliest exported instant, an
    open and a close event per scope (properly nested and in time order; a scope still
    open when its thread reported closes where its report ends). `frames`: a Selection
    or frame numbers."""
    ex = Timeline(capture, frames)
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
    except ImportError:  # no metadata (PackageNotFoundError) when run from a source tree
        return "(source tree)"


def write(capture, frames, path):
    """Writes the speedscope file of `frames` to `path`; returns (threads, scopes) in
    it."""
    doc = to_speedscope(capture, frames)
    write_json(doc, path)
    return len(doc["profiles"]), sum(len(p["events"]) for p in doc["profiles"]) // 2
