"""Flame frames merged into one call tree by path (`zel.scope_stats.merged_paths`),
written as collapsed stacks or as a speedscope sampled profile.

    from zel import load
    from zel.export import merged
    capture = load("capture.zel")
    merged.write(capture, "ALL", "all.folded", "collapsed")

Collapsed stacks: one line per path with self time, `thread;outer;inner 1234`, the
self time in integer nanoseconds; paths without self time are left out. In names, a
";" is written ":", and control characters (newlines, tabs, NUL, ...) as Python
escapes them (`\\n`, `\\x00`); an empty name is `""`.

Speedscope: one sampled profile per thread, unit nanoseconds, a sample per path
with self time, weighted by that time.
"""

import json
import os

from ..scope_stats import merged_paths
from .common import open_replacing

FORMATS = ("collapsed", "speedscope")
DESCRIPTIONS = {
    "collapsed": "collapsed stacks merged by path",
    "speedscope": "speedscope sampled profile merged by path",
}
CHUNK = 16384  # lines or samples formatted and written at a time


def _dumps(obj):
    return json.dumps(obj, separators=(",", ":"), allow_nan=False)


def frame_name(name):
    """A scope or thread name as one element of a collapsed stack."""
    text = "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in name) or '""'
    return text.replace(";", ":")


def _paths(roots):
    """(stack of nodes, node) for every node under `roots`, depth first."""
    stack = [(node, ()) for node in reversed(roots)]
    while stack:
        node, above = stack.pop()
        path = (*above, node)
        yield path, node
        stack.extend((child, path) for child in reversed(node.children))


def write_collapsed(out, threads):
    """Writes `threads` ([(thread label, [PathNode])]) as collapsed stacks to the text
    file `out`; returns the number of lines."""
    lines, n = [], 0
    for label, roots in threads:
        head = frame_name(label)
        for path, node in _paths(roots):
            if node.self_ns <= 0:
                continue
            names = ";".join(frame_name(p.name) for p in path)
            lines.append(f"{head};{names} {node.self_ns}\n")
            if len(lines) >= CHUNK:
                out.write("".join(lines))
                n += len(lines)
                lines = []
    out.write("".join(lines))
    return n + len(lines)


def write_speedscope(out, threads, name):
    """Writes `threads` as a speedscope file of sampled profiles (one per thread) to
    the text file `out`; `name` names the file in the viewer. Returns the number of
    samples."""
    from .speedscope import SCHEMA_URL, _version

    index, frames, n = {}, [], 0
    out.write(f'{{"$schema":{_dumps(SCHEMA_URL)},"profiles":[')
    for i, (label, roots) in enumerate(threads):
        samples, weights = [], []
        stacks = {}  # node -> its stack of frame indices
        for path, node in _paths(roots):
            if node.name not in index:
                index[node.name] = len(frames)
                frames.append({"name": node.name})
            parent = stacks.get(id(path[-2])) if len(path) > 1 else ()
            stack = stacks[id(node)] = (*parent, index[node.name])
            if node.self_ns > 0:
                samples.append(stack)
                weights.append(node.self_ns)
        total = sum(weights)
        out.write("," * (i > 0) + f'{{"type":"sampled","name":{_dumps(label)}')
        out.write(f',"unit":"nanoseconds","startValue":0,"endValue":{total},"samples":[')
        for a in range(0, len(samples), CHUNK):
            part = ",".join(_dumps(list(s)) for s in samples[a : a + CHUNK])
            out.write("," * (a > 0) + part)
        out.write(f'],"weights":{_dumps(weights)}}}')
        n += len(samples)
    out.write(f'],"shared":{{"frames":{_dumps(frames)}}}')
    out.write(f',"name":{_dumps(name)},"activeProfileIndex":0')
    out.write(f',"exporter":{_dumps(f"zel {_version()}")}}}')
    return n


def write(capture, frames, path, fmt, damaged=None):
    """Writes the chosen frames of `capture` merged by path to `path` in format `fmt`
    ("collapsed" or "speedscope"); `frames`: as `merged_paths` takes them (a Selection,
    frame numbers, "ALL", ...). A flame frame that does not decode raises FlameError
    naming its frame, before anything is written, or, given a list `damaged`, is left
    out and added to it as (frame, why). Returns (threads, lines or samples written)."""
    if fmt not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {fmt!r}")
    found = []
    threads = merged_paths(capture, frames, damaged=found)
    if found and damaged is None:
        from ..flame import FlameError

        k, why = found[0]
        raise FlameError(f"frame {k}: damaged flame data: {why}")
    if damaged is not None:
        damaged.extend(found)
    with open_replacing(path) as f:
        if fmt == "collapsed":
            n = write_collapsed(f, threads)
        else:
            label = getattr(frames, "label", None) or str(frames)
            n = write_speedscope(f, threads, f"{os.path.basename(capture.path)}: {label}")
    return len(threads), n
