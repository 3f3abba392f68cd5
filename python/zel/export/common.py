"""What the exports share."""

import contextlib
import json
import math
import os
import sys
from collections import namedtuple

from ..stats import slowest_frames

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

CHUNK = 65536  # rows written between progress updates


@contextlib.contextmanager
def replacing(path):
    """A temporary path beside `path` to write to; once the block ends without an error
    the file is renamed to `path`, so that `path` never holds half an export. On an
    error the temporary file is removed."""
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def open_replacing(path, **options):
    """A text file (UTF-8 unless `options` say otherwise) that replaces `path` once
    written; see `replacing`."""
    options.setdefault("encoding", "utf-8")
    with replacing(path) as tmp, open(tmp, "w", **options) as f:
        yield f


class Progress:
    """A one-line progress bar on standard error, drawn only on a terminal and only for
    more than CHUNK rows; `with` it to end the line."""

    def __init__(self, label, total, enabled=True):
        self.label, self.total = label, total
        self.enabled = enabled and total > CHUNK and sys.stderr.isatty()
        self.shown = -1

    def update(self, done):
        if not self.enabled:
            return
        pct = int(100 * done / self.total)
        if pct != self.shown:
            self.shown = pct
            bar = "#" * (pct // 4)
            sys.stderr.write(f"\r{self.label} [{bar:<25}] {pct:3d}%")
            sys.stderr.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.enabled:
            sys.stderr.write("\n")


QUIET = Progress("", 0, enabled=False)


def chunks(n):
    """(start, stop) row ranges of at most CHUNK rows over n rows; one empty range for
    no rows."""
    return [(i, min(i + CHUNK, n)) for i in range(0, n, CHUNK)] or [(0, 0)]


def cells(capture, name, start, stop, absent=None):
    """Column `name` of frames start..stop-1 as a list of floats, with `absent` where
    a frame holds no value (a recorded NaN stays NaN)."""
    values = capture.dense(name, start, stop)
    values = values.tolist() if hasattr(values, "tolist") else list(values)
    if name in capture.system_columns:
        return values
    frames, _ = capture.present(name)
    out = [absent] * len(values)
    if _np is not None:
        lo, hi = _np.searchsorted(frames, (start, stop))
        for k in (frames[lo:hi] - start).tolist():
            out[k] = values[k]
    else:
        for k in frames:
            if start <= k < stop:
                out[k - start] = values[k - start]
    return out


def nan_to_none(value, keep_infinities=False):
    """`value` with every NaN (no value) as None, and every infinity too (JSON cannot
    hold one) unless `keep_infinities`. Lists, tuples and NumPy arrays become lists and
    dicts keep their keys, their items converted alike; anything else is returned as
    it is."""
    if isinstance(value, float):
        if value != value or (not keep_infinities and math.isinf(value)):
            return None
        return value
    if isinstance(value, dict):
        return {k: nan_to_none(v, keep_infinities) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [nan_to_none(v, keep_infinities) for v in value]
    if _np is not None and isinstance(value, _np.ndarray):
        out = value.tolist()
        if value.dtype.kind == "f":
            absent = _np.isnan(value) if keep_infinities else ~_np.isfinite(value)
            for i in _np.flatnonzero(absent).tolist():
                out[i] = None
        return out
    return value


def thread_labels(threads):
    """The labels of threads given as (name, start_ns) pairs, in the same order. A
    thread keeps the name the recorder gave it; the others are "thread 1", "thread 2",
    ... in the order their first scope began (start_ns; None last). A label that is
    taken already, in that order, gets " (2)", " (3)", ..."""

    def began(i):
        name, start = threads[i]
        return (start is None, start or 0, name)

    labels, used, unnamed = [None] * len(threads), set(), 0
    for i in sorted(range(len(threads)), key=began):
        name = threads[i][0]
        if not name:
            unnamed += 1
            name = f"thread {unnamed}"
        label, k = name, 1
        while label in used:
            k += 1
            label = f"{name} ({k})"
        used.add(label)
        labels[i] = label
    return labels


class SelectionError(ValueError):
    """A frame selection that is malformed or picks no frame with flame data."""


Selection = namedtuple("Selection", "frames span label")
Selection.__doc__ = """Frames to export: `frames`, ascending frame numbers whose flame data is
exported (frames without any are skipped); `span`, the half-open range (start, stop)
of frame numbers whose frame events and counter samples are exported (from the
first selected frame to the last, or the range asked for); `label`, words for
messages ("slowest frame 152", "4 frames (100..103)")."""


def _range_label(frames):
    if len(frames) == 1:
        return f"frame {frames[0]}"
    return f"{len(frames)} frames ({frames[0]}..{frames[-1]})"


def select_frames(capture, which="SLOWEST", count=1):
    """The frames `which` picks, as a Selection:

    - "SLOWEST": the `count` frames with flame data that have the largest frame_ms;
      the span reaches from the first to the last of them.
    - "ALL": every frame with flame data; the span reaches from the first to the
      last of them (not the whole capture: frames before and after add only counter
      samples, which on a long capture outweigh the scopes many times).
    - "A:B": the frames A <= k < B, read like a Python slice (either side may be left
      out; negative numbers count from the end); "N" alone is frame N.

    Raises SelectionError for a malformed choice, an empty range, a capture recorded
    without flame frames, or a range none of whose frames carries flame data."""
    text = str(which).strip()
    n = len(capture)
    word = text.upper()
    if word not in ("SLOWEST", "ALL"):
        frames = _parse_range(text, n)
        if not frames:
            raise SelectionError(f"--frames {text} selects no frame (the capture has frames 0:{n})")
    if not capture.flame:
        why = "was recorded without flame frames (ZEL_RECORD_FLAME=1 turns them on)"
        if capture.flame_enabled:
            why = "holds no flame frame"
        raise SelectionError(f"{capture.path} {why}")
    flame_frames = sorted(capture.flame)
    if word == "ALL":
        span = (flame_frames[0], flame_frames[-1] + 1)
        return Selection(flame_frames, span, f"all {len(flame_frames)} flame frames")
    if word == "SLOWEST":
        if count < 1:
            raise SelectionError(f"--count must be at least 1, not {count}")
        slowest = sorted(slowest_frames(capture, flame_frames)[:count])
        label = f"slowest {_range_label(slowest)}" if count > 1 else f"slowest frame {slowest[0]}"
        return Selection(slowest, (slowest[0], slowest[-1] + 1), label)
    with_flame = [k for k in frames if k in capture.flame]
    if not with_flame:
        near = ", ".join(str(k) for k in flame_frames[:3])
        raise SelectionError(
            f"no frame in {text} carries flame data "
            f"({len(flame_frames)} of {n} frames do: {near}, ...)"
        )
    return Selection(with_flame, (frames[0], frames[-1] + 1), _range_label(frames))


def _parse_range(text, n):
    parts = text.split(":")
    try:
        bounds = [int(p) if p.strip() else None for p in parts]
    except ValueError:
        bounds = None
    if not bounds or len(bounds) > 2 or (len(bounds) == 1 and bounds[0] is None):
        raise SelectionError(f"bad --frames {text!r}: expected SLOWEST, ALL, a frame number or A:B")
    if len(bounds) == 1:
        k = bounds[0] + n if bounds[0] < 0 else bounds[0]
        return [k] if 0 <= k < n else []
    return list(range(n)[slice(*bounds)])


def as_selection(frames):
    """`frames`, a Selection or frame numbers, as a Selection."""
    if isinstance(frames, Selection):
        return frames
    frames = sorted(set(int(k) for k in frames))
    if not frames:
        raise SelectionError("no frame selected")
    return Selection(frames, (frames[0], frames[-1] + 1), _range_label(frames))


def write_json(doc, path):
    """`doc` as compact JSON in `path` (see `replacing`)."""
    with open_replacing(path) as f:
        # dumps, not dump: only the one-shot encoder is the fast one
        f.write(json.dumps(doc, separators=(",", ":"), allow_nan=False))
