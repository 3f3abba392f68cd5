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

from .. import flame as _flame
from .common import as_selection, thread_labels


def _frame_ms(capture, k):
    value = float(capture.columns["frame_ms"][k])
    return 0.0 if math.isnan(value) else value


class Timeline:
    """What both trace formats are made of: the selected flame frames decoded, each
    thread's scopes merged over them into nested slices (a scope longer than a frame
    once, clipped to the frames that hold it: `flame.merge`), and the frame marks in
    time. `frames`: a Selection or frame numbers."""

    def __init__(self, capture, frames):
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
                raise _flame.FlameError(f"frame {k}: damaged flame data: {e}") from None
            # A frame without scopes carries the newest earlier flame frame again.
            if frame.index not in seen:
                seen.add(frame.index)
                decoded.append((k, frame))
        self.flame_frames = decoded

        start, stop = sel.span
        self.span = range(start, stop)
        self.frame_ms = [_frame_ms(capture, k) for k in self.span]
        self.frame_times = self._place(decoded, start)
        self.threads = self._threads()
        first = [self.frame_times[0][0]] if self.frame_times else []
        first += [f.start_ns - self.ref_ns for _, f in decoded]
        self.origin_ns = self.ref_ns + math.floor(min(first)) if first else self.ref_ns

    def _place(self, decoded, start):
        """(start, stop) of each frame of the span, ns after `self.ref_ns` (the end of
        the first flame frame), as floats: each frame's mark is the last flame frame's
        end at or before it (the first one for frames before any) plus the frame_ms
        since; a frame starts no earlier than the one before it ends."""
        ends = {k: f.stop_ns for k, f in decoded}
        self.ref_ns = decoded[0][1].stop_ns if decoded else 0
        total, sums = 0.0, []  # running sum of frame_ms, in ns
        for ms in self.frame_ms:
            total += ms * 1e6
            sums.append(total)
        ref_mark, ref_sum = 0.0, sums[decoded[0][0] - start] if decoded else 0.0
        out, prev = [], -math.inf
        for i, (k, ms) in enumerate(zip(self.span, self.frame_ms)):
            if k in ends:
                ref_mark, ref_sum = ends[k] - self.ref_ns, sums[i]
            mark = ref_mark + sums[i] - ref_sum
            begin = mark - ms * 1e6
            if k == 0 and decoded and decoded[0][0] == 0:
                # No mark before the first frame: it starts with its first scope.
                begin = min(begin, decoded[0][1].start_ns - self.ref_ns)
            begin = max(begin, prev)
            prev = max(mark, begin)
            out.append((begin, prev))
        return out

    def _threads(self):
        """[(label, [Slice roots])] in the order the threads began (`flame.merge`)."""
        merged = _flame.merge(frame for _, frame in self.flame_frames)
        labels = thread_labels([key for key, _ in merged])
        return [(label, roots) for label, (_, roots) in zip(labels, merged)]

    def frame_span_ns(self, i):
        """(start, stop) of the i-th frame of the span, in ns after the origin."""
        a, b = self.frame_times[i]
        shift = self.ref_ns - self.origin_ns
        return shift + a, shift + b

    def columns(self):
        """(column name, unit, [value per frame of the span]) for every column."""
        start, stop = self.span.start, self.span.stop
        for name, col in self.capture.columns.items():
            values = [float(v) for v in col[start:stop]]
            yield name, self.capture.units.get(name, ""), values
