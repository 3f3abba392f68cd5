"""Flame frames as Python objects.

    from zel import flame, load
    capture = load("capture.zel")
    frame = flame.decode(capture.flame[120])
    for thread in frame.threads:
        for scope in flame.walk(thread.scopes):
            print(thread.name, scope.name, scope.duration_ns)

Times are nanoseconds on the recorder's clock, the same clock for every thread and
frame of a process. A scope that was still open when its thread reported has
`open` set and lasts to the end of its thread's report. A scope longer than a frame
comes in every frame it spans, with its real start; `merge` gives it once, clipped to
the frames at hand, as charts draw it.
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


@dataclass
class Slice:
    """A scope as a chart draws it: `scope` as recorded (its real start, the latest end
    known and `open`; its own `children` are one frame's), and `start_ns`/`stop_ns`
    clipped to the frames it was seen in and to its parent."""

    scope: FlameScope
    start_ns: int
    stop_ns: int
    children: list["Slice"] = field(default_factory=list)

    @property
    def self_ns(self):
        """Time in this slice outside its child slices."""
        inner = sum(c.stop_ns - c.start_ns for c in self.children)
        return max(self.stop_ns - self.start_ns - inner, 0)

    @property
    def began_earlier(self):
        """Whether the scope began before the first frame it was seen in."""
        return self.scope.start_ns < self.start_ns

    @property
    def partial(self):
        """Whether the slice shows less than the scope's full known duration
        (`scope.duration_ns`), or the scope was still open."""
        s = self.scope
        return s.open or s.start_ns < self.start_ns or self.stop_ns < s.stop_ns


def merge(frames):
    """Each thread's scopes over `frames` (decoded, in frame order) as Slices:
    [((thread name, thread start_ns), [outermost slices])], threads in the order they
    began. A scope that several frames hold (a long scope is handed over at every frame
    mark while open; same thread, same id and start_ns, under the same parent) comes
    once: closed if any frame saw it closed, with the latest end known, and with the
    children from every frame. Slices nest: each lies within its parent and after its
    earlier sibling; one clipped to nothing is left out. No recursion: profiled
    recursive functions make deep trees."""
    threads = {}
    for frame in frames:
        span = (frame.start_ns, frame.stop_ns)
        for t in frame.threads:
            threads.setdefault((t.name, t.start_ns), []).extend((span, s) for s in t.scopes)
    out, inf = [], float("inf")
    for key in sorted(threads, key=lambda k: (k[1] is None, k[1] or 0, k[0])):
        roots = []
        stack = [(roots, threads[key], -inf, inf)]
        while stack:
            dest, items, lo, hi = stack.pop()
            seen = {}  # (id, start) -> [scope, first frame start, last frame stop, children]
            for span, s in items:
                m = seen.get((s.id, s.start_ns))
                if m is None:
                    seen[s.id, s.start_ns] = [s, *span, [(span, c) for c in s.children]]
                    continue
                if (m[0].open, -m[0].stop_ns) > (s.open, -s.stop_ns):
                    m[0] = s  # closed over open, then the later end
                m[1], m[2] = min(m[1], span[0]), max(m[2], span[1])
                m[3] += ((span, c) for c in s.children)
            merged = seen.values()
            if len(merged) > 1:
                merged = sorted(merged, key=lambda m: m[0].start_ns)
            for s, first, last, children in merged:
                start, stop = max(s.start_ns, first, lo), min(s.stop_ns, last, hi)
                if stop <= start:
                    if s.stop_ns > s.start_ns:
                        continue  # all of it lies outside
                    stop = start
                dest.append(Slice(s, start, stop))
                stack.append((dest[-1].children, children, start, stop))
                lo = stop
        out.append((key, roots))
    return out


def self_times(frame):
    """Total time per scope name in `frame`, excluding time spent in child scopes,
    as {name: ns}, largest first. A scope that began before the frame, or was still
    open at its end, counts only its time inside the frame."""
    totals = {}
    for _, roots in merge([frame]):
        for s, _ in walk(roots):
            totals[s.scope.name] = totals.get(s.scope.name, 0) + s.self_ns
    return dict(sorted(totals.items(), key=lambda kv: -kv[1]))
