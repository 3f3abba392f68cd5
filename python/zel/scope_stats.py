"""Scope statistics over many flame frames, computed by the native core.

    import zel
    capture = zel.load("capture.zel")
    for row in zel.stats.scopes(capture, frames="ALL")[:10]:
        print(row["name"], row["calls"], row["self_ms"], row["self_per_frame_ms"])
    zel.stats.scopes(capture, by="thread", as_frame=True)   # a pandas DataFrame

How scopes are counted, over the chosen frames that carry flame data:

- Each flame frame is clipped on its own as `zel.flame.merge([frame])` draws it: a
  scope within the frame, within its parent, after its elder sibling. Self time is an
  instance's clipped time less its child scopes' (`Slice.self_ns`).
- A scope longer than a frame comes in every frame it spans with its real start: it
  is one call (same thread, scope and start), with its full known duration, and adds
  its time inside each frame to that frame.
- A scope still open when its thread last reported is an open call; its duration runs
  to the end of that report.
- `total_ms` leaves out an instance inside another of the same name (recursion is not
  counted twice); `self_ms` counts every instance.
- `self_per_frame_ms` is the scope's self time per frame, averaged over every chosen
  frame with flame data, 0 in frames without the scope; `self_per_frame_p99_ms` its
  99th percentile over the same frames.
- A record that repeats an earlier record's flame frame (the recorder repeats it for a
  frame without scopes) counts as a frame without flame data: `zel.load` keeps a flame
  frame only under the first record that carries it, so nothing is counted twice.
- A flame frame that does not decode is left out, with an UndecodableFlameWarning
  (or, given a list `damaged`, added to it as (frame, why)).

Percentiles interpolate linearly between ranks, as `zel.stats.percentile` does.
"""

import math
import os
import warnings
from dataclasses import dataclass, field

from . import _native
from .export.common import as_selection, select_frames, thread_labels

SORTS = {"self": "self_ms", "total": "total_ms", "calls": "calls", "p99": "call_p99_ms"}
BY = ("name", "thread")
FIELDS = (
    "calls",
    "open_calls",
    "frames",
    "total_ms",
    "self_ms",
    "call_mean_ms",
    "call_p50_ms",
    "call_p99_ms",
    "call_max_ms",
    "self_per_frame_ms",
    "self_per_frame_p99_ms",
)


class UndecodableFlameWarning(UserWarning):
    """Flame frames whose bytes do not decode were left out."""


@dataclass
class PathNode:
    """One path of the merged call tree: the scope `name` under its parent's path,
    how many calls took it, their time inside the chosen frames (`total_ns`) and the
    part of it outside child scopes (`self_ns`)."""

    name: str
    calls: int
    total_ns: int
    self_ns: int
    children: list["PathNode"] = field(default_factory=list)


def _chosen(capture, frames, count):
    """(capture, Selection, frame numbers with flame data, their flame bytes).
    `frames`: "ALL", "SLOWEST" (the `count` slowest), "A:B", a frame number as text,
    a Selection or frame numbers; `capture`: a Capture or a path."""
    if isinstance(capture, (str, os.PathLike)):
        from .table import load

        capture = load(capture)
    if isinstance(frames, str):
        selection = select_frames(capture, frames, count)
    else:
        selection = as_selection(frames)
    chosen = [k for k in selection.frames if k in capture.flame]
    return capture, selection, chosen, [capture.flame[k] for k in chosen]


def _report_undecodable(capture, chosen, positions, damaged):
    if not positions:
        return
    from . import flame

    found = []
    for p in positions:
        try:
            flame.decode(capture.flame[chosen[p]])
            why = "does not decode"
        except flame.FlameError as e:
            why = str(e)
        found.append((chosen[p], why))
    if damaged is not None:
        damaged.extend(found)
        return
    k, why = found[0]
    n = len(found)
    warnings.warn(
        f"{capture.path}: left out {n:,} undecodable flame frame{'s' * (n != 1)} "
        f"(frame {k}: {why})",
        UndecodableFlameWarning,
        stacklevel=3,
    )


def scopes(capture, frames="ALL", by="name", sort="self", as_frame=False, count=1, damaged=None):
    """Figures per scope name (`by="thread"`: per thread and name) over the chosen
    frames, as a list of dicts, largest first by `sort` ("self", "total", "calls" or
    "p99", the calls' p99), ties by name: name, [thread], calls, open_calls, frames
    (holding the scope), total_ms, self_ms, call_mean_ms, call_p50_ms, call_p99_ms,
    call_max_ms, self_per_frame_ms, self_per_frame_p99_ms. The call figures are NaN for
    a scope without calls of its own, which only flame data that names a scope id
    otherwise from one frame to the next gives (a call stays with its first name).
    With `as_frame`, a pandas DataFrame of the same rows and columns. See the module's
    notes for how scopes are counted; `frames`, `count`: as `zel flame --frames/--count`
    take them; raises `zel.export.common.SelectionError` for a choice that holds no
    flame frame; `damaged`: see the module's notes."""
    if by not in BY:
        raise ValueError(f"by must be one of {', '.join(BY)}, not {by!r}")
    if sort not in SORTS:
        raise ValueError(f"sort must be one of {', '.join(SORTS)}, not {sort!r}")
    if as_frame:
        _pandas()  # before the work
    capture, _, chosen, flames = _chosen(capture, frames, count)
    threads, rows, undecodable = _native.scope_stats(flames, by == "thread")
    _report_undecodable(capture, chosen, undecodable, damaged)
    labels = thread_labels(threads)
    out = []
    for t, name, *figures in rows:
        calls, open_calls, n_frames, total, self_ns, mean, p50, p99, top, spf, spf99 = figures
        row = {"name": name}
        if by == "thread":
            row["thread"] = labels[t]
        row.update(
            calls=calls,
            open_calls=open_calls,
            frames=n_frames,
            total_ms=total / 1e6,
            self_ms=self_ns / 1e6,
            call_mean_ms=mean / 1e6,
            call_p50_ms=p50 / 1e6,
            call_p99_ms=p99 / 1e6,
            call_max_ms=top / 1e6 if calls else math.nan,
            self_per_frame_ms=spf / 1e6,
            self_per_frame_p99_ms=spf99 / 1e6,
        )
        out.append(row)
    key = SORTS[sort]

    def order(r):  # largest first, NaN last, then by name
        v = r[key]
        return (v != v, -v if v == v else 0, r["name"], r.get("thread", ""))

    out.sort(key=order)
    if as_frame:
        columns = ["name"] + ["thread"] * (by == "thread") + list(FIELDS)
        return _pandas().DataFrame(out, columns=columns)
    return out


def _pandas():
    try:
        import pandas
    except ImportError:
        from .table import _missing

        raise _missing("pandas", "pandas") from None
    return pandas


def self_per_frame(capture, frames, damaged=None):
    """{scope name: mean self time in ms per frame} over the frames of `frames` that
    carry flame data (frame numbers or a Selection), 0 counted for frames without the
    scope; {} when none of them carries flame data."""
    capture, _, chosen, flames = _chosen(capture, frames, 1)
    if not flames:
        return {}
    _, rows, undecodable = _native.scope_stats(flames, False)
    _report_undecodable(capture, chosen, undecodable, damaged)
    return {row[1]: row[11] / 1e6 for row in rows}


def merged_paths(capture, frames="ALL", count=1, damaged=None):
    """The call tree of the chosen frames merged by path (thread, then the scope names
    from the outermost down), as [(thread label, [PathNode])], threads in the order
    they began; children in the order their paths were first seen. Times are those
    inside the frames, clipped as `scopes` clips them; a long scope is one call."""
    capture, _, chosen, flames = _chosen(capture, frames, count)
    threads, nodes, undecodable = _native.scope_paths(flames)
    _report_undecodable(capture, chosen, undecodable, damaged)
    labels = thread_labels(threads)
    roots = [[] for _ in threads]
    made = []
    for t, parent, name, calls, total, self_ns in nodes:
        node = PathNode(name, calls, total, self_ns)
        made.append(node)
        (roots[t] if parent < 0 else made[parent].children).append(node)

    def began(i):
        name, start = threads[i]
        return (start is None, start or 0, name)

    return [(labels[i], roots[i]) for i in sorted(range(len(threads)), key=began) if roots[i]]
