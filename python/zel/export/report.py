"""A capture as one self-contained HTML page: `zel report capture.zel -o report.html`.

    from zel import load
    from zel.export.report import write_report
    write_report(load("capture.zel"), "report.html", slowest=8)

The page needs nothing but a browser: styles and script are inline, the figures are
drawn on canvases by a small hand-written script (`report_page.html` next to this
module), and the data travels as JSON in a `<script type="application/json">` block
in which `<`, `>` and `&` are written as \\u escapes, so that no name can end the block.
Names (columns, scopes, threads) reach the page only as text, never as markup.

What the page shows:

- headline figures of the frame times (`zel.stats`: percentiles, 1% and 0.1% lows);
- a histogram of the frame times with the p50, p90 and p99 lines;
- every column as a time series with its unit (a column with no value in any frame
  gets an empty tile that says so); the first frame's frame time is left out, as
  `zel.stats` does, since there is no earlier mark to measure it from;
- flame charts of the slowest frames that carry flame data, threads as rows and
  scopes as nested bars, with hover, zoom and pan; a scope that began before its frame
  or was still open at its end is drawn clipped to the frame, and its hover text gives
  its full known duration.

Large captures: a column of more than `BUCKETS` frames is cut into `BUCKETS` runs of
equal length (the last one shorter) and only the minimum and maximum of each run are
kept, NaN left out (a run without any value is a gap). The page folds these runs
again into one minimum-maximum pair per pixel of its plot and draws a vertical
stroke from one to the other, so a one-frame spike is never averaged away. A million
frames thus cost the page as much as `BUCKETS` do, and the file grows by some 30 KB
per column whatever the capture's length.
"""

import bisect
import json
import math
import os

from .. import flame as _flame
from .. import stats as _stats
from .common import nan_to_none, open_replacing, thread_labels

BUCKETS = 2000  # runs per column at most: more than any plot is wide in pixels
HISTOGRAM_BINS = 60
SELF_TIME_ROWS = 10

_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "report_page.html")
_DATA_MARK = "/*ZEL-DATA*/"


def write_report(capture, path, *, slowest=8):
    """Writes the report of `capture` (a `zel.load` result) to `path`, with flame
    charts of up to `slowest` of the slowest frames that carry flame data."""
    page = render(capture, slowest=slowest)
    with open_replacing(path) as f:
        f.write(page)


def render(capture, *, slowest=8):
    """The report page of `capture` as a string."""
    with open(_TEMPLATE, encoding="utf-8") as f:
        template = f.read()
    before, after = template.split(_DATA_MARK)
    return before + embed_json(report_data(capture, slowest=slowest)) + after


def embed_json(data):
    """`data` as JSON that can sit inside a <script> element whatever its strings
    hold: no raw `<`, `>` or `&`, no NaN."""
    text = json.dumps(data, separators=(",", ":"), allow_nan=False, ensure_ascii=False)
    for raw, escaped in (
        ("<", "\\u003c"),
        (">", "\\u003e"),
        ("&", "\\u0026"),
        ("\u2028", "\\u2028"),
        ("\u2029", "\\u2029"),
    ):
        text = text.replace(raw, escaped)
    return text


def report_data(capture, *, slowest=8):
    """Everything the page draws, as plain JSON-ready values."""
    times = [float(v) for v in _stats.frame_times(capture)]
    summary = _stats.frame_time_stats(times)
    summary["duration_s"] = sum(times) / 1000.0
    summary["flame_frames"] = len(capture.flame)
    strings = _Strings()
    return {
        "capture": os.path.basename(capture.path),
        "frames": len(capture),
        "summary": {k: _six_digits(v) for k, v in summary.items()},
        "histogram": histogram(times, summary),
        "columns": [_column(capture, name) for name in list(capture.columns)],
        "flames": slowest_flames(capture, slowest, strings),
        "strings": strings.items,
    }


def _six_digits(value):
    """A number as a float for JSON, rounded to six significant digits; None for NaN
    and the infinities."""
    value = nan_to_none(float(value))
    return None if value is None else float(f"{value:.6g}")


def _column(capture, name):
    values = capture.columns[name]
    values = values.tolist() if hasattr(values, "tolist") else list(values)
    if name == "frame_ms" and values:
        values[0] = math.nan  # no earlier mark to measure the first frame from
    column = {
        "name": name,
        "unit": capture.units.get(name, ""),
        "system": name in capture.system_columns,
    }
    column.update(downsample(values))
    return column


def downsample(values, buckets=BUCKETS):
    """{"step", "lo", "hi", "count", "min", "mean", "max"} for a list of floats (NaN
    for no value): `lo` and `hi` hold the minimum and maximum of each run of `step`
    frames (None for a run without a value; `hi` is None when `step` is 1, the
    values themselves being in `lo`)."""
    n = len(values)
    step = max(1, math.ceil(n / buckets))
    lo, hi = [], []
    count, total, smallest, largest = 0, 0.0, math.inf, -math.inf
    # sum() runs in C: a NaN-free column (most of them) takes the fast path.
    clean = not math.isnan(sum(values))
    for start in range(0, n, step):
        run = values[start : start + step]
        if not clean:
            run = [v for v in run if not math.isnan(v)]
        if not run:
            lo.append(None)
            hi.append(None)
            continue
        a, b = min(run), max(run)
        count += len(run)
        total += sum(run)
        smallest, largest = min(smallest, a), max(largest, b)
        lo.append(_six_digits(a))
        hi.append(_six_digits(b))
    return {
        "step": step,
        "lo": lo,
        "hi": hi if step > 1 else None,
        "count": count,
        "min": _six_digits(smallest) if count else None,
        "mean": _six_digits(total / count) if count else None,
        "max": _six_digits(largest) if count else None,
    }


def histogram(times, summary, bins=HISTOGRAM_BINS):
    """Frame-time histogram: `bins` equal bins from the fastest frame to the slowest
    or, when the slowest is more than three times p99, to 3 x p99, the frames beyond
    counted in `over`. None without frame times."""
    if not times:
        return None
    ordered = sorted(times)
    lo, top = ordered[0], ordered[-1]
    p99 = summary["p99_ms"]
    if top > 3 * p99 > lo:
        top = 3 * p99
    if top <= lo:
        lo, top = lo - 0.5, lo + 0.5
    width = (top - lo) / bins
    cuts = [0] + [bisect.bisect_left(ordered, lo + width * i) for i in range(1, bins)]
    cuts.append(bisect.bisect_right(ordered, top))
    counts = [b - a for a, b in zip(cuts, cuts[1:])]
    return {
        "lo": _six_digits(lo),
        "hi": _six_digits(top),
        "counts": counts,
        "over": len(ordered) - sum(counts),
        "p50": _six_digits(summary["p50_ms"]),
        "p90": _six_digits(summary["p90_ms"]),
        "p99": _six_digits(summary["p99_ms"]),
    }


class _Strings:
    """Scope names, thread names and scope data, each once, as indices."""

    def __init__(self):
        self.items = []
        self._index = {}

    def __call__(self, text):
        i = self._index.get(text)
        if i is None:
            i = self._index[text] = len(self.items)
            self.items.append(text)
        return i


def slowest_flames(capture, count, strings):
    """Flame charts of up to `count` frames with flame bytes, slowest first by
    frame time. A flame frame attached to several records (no new scope in
    between) counts once, for the slowest of them; one that does not decode is
    left out."""
    if count <= 0 or not capture.flame:
        return []
    frame_ms = capture.columns["frame_ms"]
    out, seen = [], set()
    for frame in _stats.slowest_frames(capture, capture.flame):
        try:
            decoded = _flame.decode(capture.flame[frame])
        except _flame.FlameError:
            continue
        if decoded.index in seen:
            continue
        seen.add(decoded.index)
        out.append(_flame_chart(frame, float(frame_ms[frame]), decoded, strings))
        if len(out) == count:
            break
    return out


# Fields per scope in a thread's flat "scopes" list.
SCOPE_FIELDS = ("start", "duration", "depth", "name", "self", "data", "open", "before", "full")


def _flame_chart(frame, frame_ms, decoded, strings):
    """A flame frame as the page draws it: times in ns from the frame's start, each
    thread's scopes (`flame.merge`: clipped to the frame) as one flat list of
    SCOPE_FIELDS in the order they began (`name` and `data` index `strings`, `data` -1
    for none; `before`: how long before the frame the scope began; `full`: its full
    known duration), under the thread's label (`common.thread_labels`)."""
    origin, threads = decoded.start_ns, []
    merged = _flame.merge([decoded])
    for label, (_, roots) in zip(thread_labels([key for key, _ in merged]), merged):
        flat, depth = [], 0
        for s, d in _flame.walk(roots):
            flat += [
                s.start_ns - origin,
                s.stop_ns - s.start_ns,
                d,
                strings(s.scope.name),
                s.self_ns,
                strings(s.scope.data) if s.scope.data else -1,
                1 if s.scope.open else 0,
                s.start_ns - s.scope.start_ns,
                s.scope.duration_ns,
            ]
            depth = max(depth, d + 1)
        threads.append({"name": label, "depth": depth, "scopes": flat})
    own = _flame.self_times(decoded)
    return {
        "frame": int(frame),
        "frame_ms": _six_digits(frame_ms),
        "index": decoded.index,
        "span": decoded.stop_ns - origin,
        "threads": threads,
        "self": [[strings(name), ns] for name, ns in list(own.items())[:SELF_TIME_ROWS]],
        "self_total": sum(own.values()),
    }
