"""Flame frames in speedscope's file format: one evented profile per thread.

    from zel import load
    from zel.export import common, speedscope
    capture = load("capture.zel")
    profile = speedscope.to_speedscope(capture, common.select_frames(capture, "ALL"))

Frames and scopes are placed in time as `timeline` says.
"""

import io
import json
import os

from .. import flame as _flame
from .common import QUIET, Progress, open_replacing
from .timeline import Timeline

SCHEMA_URL = "https://www.speedscope.app/file-format-schema.json"
DESCRIPTION = "speedscope profile"
CHUNK = 16384  # events formatted and written at a time


def _dumps(obj):
    return json.dumps(obj, separators=(",", ":"), allow_nan=False)


def _quiet(total):
    return QUIET


def write_speedscope(out, capture, frames, progress=_quiet, damaged=None):
    """Writes the selected frames as a speedscope file to the text file `out`, a
    thread at a time and its events in chunks: one evented profile per thread, times
    in ns after the earliest exported instant, an open and a close event per scope
    (properly nested and in time order; a scope longer than a frame comes once,
    clipped to the frames shown; a scope still open when its thread last reported
    closes where that report ends). A clipped or still open scope gets a frame of its
    own whose `file`, which the viewer shows on hover, gives its full known duration.
    The shared frames follow the profiles. `frames`: a Selection or frame numbers;
    `progress`: a function (total) -> bar of the Progress kind, called once; `damaged`:
    see `Timeline`. Returns (threads, scopes) written."""
    ex = Timeline(capture, frames, damaged=damaged)
    origin = ex.origin_ns
    names, index, n = [], {}, 0
    out.write(f'{{"$schema":{_dumps(SCHEMA_URL)},"profiles":[')
    total = sum(1 for _, roots in ex.threads for _ in _flame.walk(roots))
    with progress(total) as bar:
        for i, (thread_name, roots) in enumerate(ex.threads):
            start = roots[0].start_ns - origin if roots else 0
            stop = roots[-1].stop_ns - origin if roots else 0  # the last event closes it
            out.write("," * (i > 0) + f'{{"type":"evented","name":{_dumps(thread_name)}')
            out.write(f',"unit":"nanoseconds","startValue":{start},"endValue":{stop}')
            out.write(',"events":[')
            texts = []
            # (node, None) opens node, (node, frame index) closes it
            stack = [(node, None) for node in reversed(roots)]
            while stack:
                node, closing = stack.pop()
                if closing is not None:
                    texts.append(f'{{"type":"C","frame":{closing},"at":{node.stop_ns - origin}}}')
                    continue
                key = (node.scope.name, _note(node)) if node.partial else node.scope.name
                if key not in index:
                    index[key] = len(names)
                    plain = isinstance(key, str)
                    names.append({"name": key} if plain else {"name": key[0], "file": key[1]})
                texts.append(f'{{"type":"O","frame":{index[key]},"at":{node.start_ns - origin}}}')
                stack.append((node, index[key]))
                stack.extend((child, None) for child in reversed(node.children))
                n += 1
                if len(texts) >= CHUNK:
                    out.write(",".join(texts))
                    texts = [""]  # the comma before the next chunk
                    bar.update(n)
            out.write(",".join(texts) + "]}")
            bar.update(n)
    out.write(f'],"shared":{{"frames":{_dumps(names)}}}')
    label = f"{os.path.basename(capture.path)}: {ex.selection.label}"
    out.write(f',"name":{_dumps(label)},"activeProfileIndex":0')
    out.write(f',"exporter":{_dumps(f"zel {_version()}")}}}')
    return len(ex.threads), n


def to_speedscope(capture, frames):
    """What `write_speedscope` writes, as a dict ready for json.dump."""
    out = io.StringIO()
    write_speedscope(out, capture, frames)
    return json.loads(out.getvalue())


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


def write(capture, frames, path, progress=True, damaged=None):
    """Writes the speedscope file of `frames` to `path` (see `write_speedscope`), with
    a progress bar on a terminal unless `progress` is false; returns (threads, scopes)
    in it."""

    def bar(total):
        return Progress(f"flame {path}", total, progress)

    with open_replacing(path) as f:
        return write_speedscope(f, capture, frames, bar, damaged)
