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
    open and a close event per scope (properly nested and in time order; a scope longer
    than a frame comes once, clipped to the frames shown; a scope still open when its
    thread last reported closes where that report ends). A clipped or still open scope
    gets a frame of its own whose `file`, which the viewer shows on hover, gives its full
    known duration. `frames`: a Selection or frame numbers."""
    ex = Timeline(capture, frames)
    origin = ex.origin_ns
    names, index = [], {}
    profiles = []
    for thread_name, roots in ex.threads:
        events = []

        # (node, None) opens node, (node, frame index) closes it
        stack = [(node, None) for node in reversed(roots)]
        while stack:
            node, closing = stack.pop()
            if closing is not None:
                events.append({"type": "C", "frame": closing, "at": node.stop_ns - origin})
                continue
            key = (node.scope.name, _note(node)) if node.partial else node.scope.name
            if key not in index:
                index[key] = len(names)
                plain = isinstance(key, str)
                names.append({"name": key} if plain else {"name": key[0], "file": key[1]})
            events.append({"type": "O", "frame": index[key], "at": node.start_ns - origin})
            stack.append((node, index[key]))
            stack.extend((child, None) for child in reversed(node.children))
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


def _note(node):
    """What a clipped or still open slice leaves out, for the hover text."""
    note = f"full duration {node.scope.duration_ns / 1e6:.3f} ms"
    if node.began_earlier:
        note += f", began {(node.start_ns - node.scope.start_ns) / 1e6:.3f} ms earlier"
    return note + (", still open" if node.scope.open else "")


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
