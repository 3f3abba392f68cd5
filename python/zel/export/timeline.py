"""Flame frames and frames placed on one time line, for the trace exports (`trace`,
`speedscope`).

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

Threads. A thread is told apart from another by its name and the time it opened its
first scope; they are labelled by `common.thread_labels`, counted over the exported
frames.

Output times are relative to the earliest exported instant (`origin_ns`): absolute
nanoseconds do not survive the doubles of JSON readers.
"""

import math
from array import array
from bisect import bisect_left

from .. import flame as _flame
from .common import CHUNK, as_selection, thread_labels


def _floats(values):
    """A slice of a column as a list of Python floats."""
    return values.tolist() if hasattr(values, "tolist") else [float(v) for v in values]


class Timeline:
    """What both trace formats are made of: the selected flame frames decoded, each
    thread's scopes merged over them into nested slices (a scope longer than a frame
    once, clipped to the frames that hold it: `flame.merge`), and the frame marks in
    time. `frames`: a Selection or frame numbers; `span`: the (start, stop) frame
    numbers to place, the selection's span unless given (it always takes in the
    selected frames). A flame frame that does not decode raises FlameError naming its
    frame, or, given a list `damaged`, is left out and added to it as (frame, why)."""

    def __init__(self, capture, frames, span=None, damaged=None):
        sel = as_selection(frames)
        self.capture, self.selection = capture, sel
        decoded, seen = [], set()
        for k in sel.frames:
            data = capture.flame.get(k)
            if data is None:
                continue
            try:
                frame = _flame.decode(data)
            except _flame.FlameError as e:
                if damaged is None:
                    raise _flame.FlameError(f"frame {k}: damaged flame data: {e}") from None
                damaged.append((k, str(e)))
                continue
            # A frame without scopes carries the newest earlier flame frame again.
            if frame.index not in seen:
                seen.add(frame.index)
                decoded.append((k, frame))
        self.flame_frames = decoded

        start, stop = span or sel.span
        start, stop = min(start, sel.frames[0]), max(stop, sel.frames[-1] + 1)
        self.span = range(start, stop)
        self.ref_ns = decoded[0][1].stop_ns if decoded else 0
        self._times = None
        self.threads = self._threads()
        first = [b for b, _ in self._place(1)]
        first += [f.start_ns - self.ref_ns for _, f in decoded]
        self.origin_ns = self.ref_ns + math.floor(min(first)) if first else self.ref_ns

    def frame_ms(self, a, b):
        """The recorded frame_ms of frames a <= k < b (NaN or infinite as recorded)."""
        return _floats(self.capture.columns["frame_ms"][a:b])

    def _place(self, limit=None):
        """(start, stop) of the first `limit` frames of the span (all by default), ns
        after `self.ref_ns` (the end of the first flame frame), as floats: each frame's
        mark is the last flame frame's end at or before it (the first one for frames
        before any) plus the frame_ms since; a frame starts no earlier than the one
        before it ends. A frame_ms that is NaN or infinite counts as 0."""
        decoded, span = self.flame_frames, self.span
        ends = {k: f.stop_ns - self.ref_ns for k, f in decoded}
        stop = span.stop if limit is None else min(span.stop, span.start + limit)
        # The running sum of frame_ms (ns) up to the first flame frame, which anchors
        # the frames before it.
        ref_mark, ref_sum = 0.0, 0.0
        if decoded:
            for a in range(span.start, decoded[0][0] + 1, CHUNK):
                for ms in self.frame_ms(a, min(a + CHUNK, decoded[0][0] + 1)):
                    ref_sum += ms * 1e6 if math.isfinite(ms) else 0.0
        first_at_zero = bool(decoded) and decoded[0][0] == 0
        total, prev = 0.0, -math.inf
        for a in range(span.start, stop, CHUNK):
            b = min(a + CHUNK, stop)
            for k, ms in zip(range(a, b), self.frame_ms(a, b)):
                ns = ms * 1e6 if math.isfinite(ms) else 0.0
                total += ns
                end = ends.get(k)
                if end is not None:
                    ref_mark, ref_sum = end, total
                mark = ref_mark + total - ref_sum
                begin = mark - ns
                if k == 0 and first_at_zero:
                    # No mark before the first frame: it starts with its first scope.
                    begin = min(begin, decoded[0][1].start_ns - self.ref_ns)
                begin = max(begin, prev)
                prev = max(mark, begin)
                yield begin, prev

    def _threads(self):
        """[(label, [Slice roots])] in the order the threads began (`flame.merge`)."""
        merged = _flame.merge(frame for _, frame in self.flame_frames)
        labels = thread_labels([key for key, _ in merged])
        return [(label, roots) for label, (_, roots) in zip(labels, merged)]

    def _placed(self):
        if self._times is None:
            shift = self.ref_ns - self.origin_ns
            starts, stops = array("d"), array("d")
            for begin, stop in self._place():
                starts.append(shift + begin)
                stops.append(shift + stop)
            self._times = starts, stops
        return self._times

    def frame_span_ns(self, i):
        """(start, stop) of the i-th frame of the span, in ns after the origin."""
        starts, stops = self._placed()
        return starts[i], stops[i]

    @property
    def frame_starts(self):
        """The start of every frame of the span, ns after the origin (an array)."""
        return self._placed()[0]

    @property
    def frame_stops(self):
        """The end of every frame of the span, ns after the origin (an array)."""
        return self._placed()[1]

    def samples(self, name):
        """(frame numbers, values) of the frames of the span that carry a value of
        column `name`: NumPy arrays or lists, as the capture gives them."""
        start, stop = self.span.start, self.span.stop
        frames, values = self.capture.present(name)
        a, b = bisect_left(frames, start), bisect_left(frames, stop)
        return frames[a:b], values[a:b]
