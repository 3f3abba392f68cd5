"""Flame frames as Python objects.

    from zel import flame, load
    capture = load("capture.zel")
    frame = flame.decode(capture.flame[120])
    for thread in frame.threads:
        for scope in flame.walk(thread.scopes):
            print(thread.name, scope.name, scope.duration_ns)

Times are nanoseconds on the recorder's clock, the same clock for every thread and
frame of a process. A scope that was still open when its thread reported has
`open` set and lasts to the end of its frame.
"""

from dataclasses import dataclass, field
from typing import Optional

from . import _native


class FlameError(ValueError):
    """Bytes that are not a well-formed flame frame."""


@dataclass
class FlameScope:
    name: str
    start_ns: int
    duration_ns: int
    children: list["FlameScope"] = field(default_factory=list)
    id: int = 0
    data: str = ""
    open: bool = False

    @property
    def stop_ns(self):
        return self.start_ns + self.duration_ns

    @property
    def self_ns(self):
        """Time in this scope outside its child scopes (never negative)."""
        return max(self.duration_ns - sum(c.duration_ns for c in self.children), 0)


@dataclass
class FlameThread:
    name: str  # "" for threads the program created itself
    start_ns: Optional[int]  # when the thread opened its first scope
    scopes: list[FlameScope]  # outermost scopes, in the order they began


@dataclass
class FlameFrame:
    index: int  # the recorder's frame number
    start_ns: int
    stop_ns: int
    threads: list[FlameThread]

    @property
    def duration_ns(self):
        return self.stop_ns - self.start_ns


def decode(flame_bytes):
    """The flame frame in `flame_bytes` (a `Frame.flame` value). Raises FlameError
    naming the first thing that does not parse."""
    try:
        index, start, stop, threads, names = _native.decode_flame(flame_bytes)
    except ValueError as e:
        raise FlameError(str(e)) from None
    out = []
    for name, thread_start, records in threads:
        nodes, roots = [], []
        for sid, s_start, s_stop, parent, data, is_open in records:
            node = FlameScope(
                names.get(sid, f"#{sid}"), s_start, s_stop - s_start, [], sid, data, is_open
            )
            nodes.append(node)
            (roots if parent < 0 else nodes[parent].children).append(node)
        out.append(FlameThread(name, thread_start, roots))
    return FlameFrame(index, start, stop, out)


def walk(scopes, depth=0):
    """(scope, depth) for every scope under `scopes`, depth first, in the order
    the scopes began; outermost scopes have depth `depth`."""
    stack = [(s, depth) for s in reversed(scopes)]
    while stack:
        scope, d = stack.pop()
        yield scope, d
        stack.extend((c, d + 1) for c in reversed(scope.children))


def self_times(frame):
    """Total time per scope name in `frame`, excluding time spent in child scopes,
    as {name: ns}, largest first. A scope that began before the frame, or was still
    open at its end, counts only its time inside the frame."""

    def inside(s):
        return max(min(s.stop_ns, frame.stop_ns) - max(s.start_ns, frame.start_ns), 0)

    totals = {}
    for thread in frame.threads:
        for scope, _ in walk(thread.scopes):
            own = max(inside(scope) - sum(inside(c) for c in scope.children), 0)
            totals[scope.name] = totals.get(scope.name, 0) + own
    return dict(sorted(totals.items(), key=lambda kv: -kv[1]))
