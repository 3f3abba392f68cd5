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

- how the capture was recorded, when `zel record` left its run details beside it
  (`zel.run_details`);
- headline figures of the frame times (`zel.stats`: percentiles, 1% and 0.1% lows);
- a histogram of the frame times with the p50, p90 and p99 lines;
- with a baseline capture (`zel report NEW --baseline BASE`): both runs' frame-time
  histograms on the same bins, each as shares of its frames, the figures of
  `zel.compare` with their 95% intervals and the scopes whose self time per flame
  frame changed most;
- up to `MAX_PLOTS` columns as time series with their units: the system columns
  that vary, then the user columns with the most values; the first frame's frame
  time is left out, as `zel.stats` does, since there is no earlier mark to measure it
  from. Constant columns (every value the same, e.g. the I/O columns when nothing
  feeds them) are one line per value, columns without any value one line, and the
  columns not drawn are listed by name with their value counts, all within
  `LIST_CHARS` characters of names, so that 20,000 names cost the page some
  hundreds of KB, not a plot each. Minimum, mean and maximum are over the finite
  values; NaN and infinities recorded are counted apart as non-finite. Every hitch
  (`zel.hitches`) is a red tick under the frame_ms plot, with their count and rule;
- why the slow frames are slow (`zel.why_slow`): the rule, the two groups of flame
  frames and the extra time, up to `WHY_ROWS` scopes ranked by how much more self
  time per frame the slow frames spend in them, and the columns that differ most; or
  why there is too little to compare;
- two merged flame graphs (`merged_tree`), icicles with hover and click to zoom: the
  typical frames' call tree merged by path, widths by mean time per frame, and the
  union of the slow and typical frames' paths, widths by the slow frames' mean time
  per frame, coloured by the change of self time (red grew, blue shrank, the deeper
  the larger). Paths under `merged_tree.MIN_SHARE` of the time are left out, and the
  smallest past `merged_tree.MAX_NODES` nodes, and the page says how many;
- the damage a capture read with `strict=False` stopped at, and how many records
  repeated a flame frame an earlier record carried (`zel.load`);
- flame charts of the slowest frames that carry flame data, threads as rows and
  scopes as nested bars, with hover, zoom and pan; a scope that began before its frame
  or was still open at its end is drawn clipped to the frame, and its hover text gives
  its full known duration.

Large captures: a column of more than `BUCKETS` frames is cut into `BUCKETS` runs of
equal length (the last one shorter) and only the minimum and maximum of each run are
kept, non-finite values left out (a run without any value is a gap). Columns are
read through `capture.present`, so the work and memory follow the values recorded,
not frames times columns. The page folds these runs
again into one minimum-maximum pair per pixel of its plot and draws a vertical
stroke from one to the other, so a one-frame spike is never averaged away. A million
frames thus cost the page as much as `BUCKETS` do, and the file grows by some 30 KB
per drawn column whatever the capture's length.
"""

import bisect
import json
import math
import os

from .. import compare as _compare
from .. import flame as _flame
from .. import hitches as _hitches
from .. import run_details as _run_details
from .. import stats as _stats
from .. import why_slow as _why_slow
from . import merged_tree
from .common import QUIET, nan_to_none, open_replacing, thread_labels

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

BUCKETS = 2000  # runs per column at most: more than any plot is wide in pixels
HISTOGRAM_BINS = 60
SELF_TIME_ROWS = 10
MAX_PLOTS = 24  # columns drawn at most
LIST_CHARS = 500_000  # characters of column names listed at most, past the drawn ones
WHY_ROWS = 25  # scopes in the slow-frame table at most
WHY_COLUMNS = 8  # columns in it at most
COMPARE_ROWS = 25  # scopes in the baseline table at most

_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "report_page.html")
_DATA_MARK = "/*ZEL-DATA*/"


def _quiet(stage, total):
    return QUIET


def write_report(capture, path, **options):
    """Writes the report of `capture` (a `zel.load` result) to `path`; `options` as
    `report_data` takes them."""
    page = render(capture, **options)
    with open_replacing(path) as f:
        f.write(page)


def render(capture, **options):
    """The report page of `capture` as a string; `options` as `report_data` takes them."""
    with open(_TEMPLATE, encoding="utf-8") as f:
        template = f.read()
    before, after = template.split(_DATA_MARK)
    return before + embed_json(report_data(capture, **options)) + after


def values_present(capture):
    """How many values the capture's columns hold, all together."""
    return sum(capture.count(name) for name in capture.columns)


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


def report_data(
    capture,
    *,
    slowest=8,
    progress=_quiet,
    slow=_why_slow.SLOW,
    hitch_factor=_hitches.FACTOR,
    hitch_window=_hitches.WINDOW,
    baseline=None,
):
    """Everything the page draws, as plain JSON-ready values: flame charts of up to
    `slowest` of the slowest frames that carry flame data, slow frames by the rule
    `slow` (`why_slow.parse_slow`), hitches by `hitch_factor` and `hitch_window`, and
    the comparison with `baseline` (a capture, or None). `progress(stage, total)`
    gives an `export.common.Progress` for each stage: "columns" counts the values
    read, "flame charts" the charts drawn."""
    times = [float(v) for v in _stats.frame_times(capture)]
    summary = _stats.frame_time_stats(times)
    summary["duration_s"] = _stats.total_ms(times) / 1000.0
    summary["flame_frames"] = len(capture.flame)
    with progress("columns", values_present(capture)) as bar:
        figures = column_figures(capture, bar)
    drawn = plotted(figures)
    columns = []
    for f in drawn:
        frames, values = _present(capture, f["name"])
        columns.append({**_rounded(f), **downsample(frames, values, len(capture))})
    strings = _Strings()
    with progress("flame charts", min(slowest, len(capture.flame))) as bar:
        flames = slowest_flames(capture, slowest, strings, bar.update)
    why = _why_slow.analyse(capture, slow)
    damage = capture.damage
    return {
        "capture": os.path.basename(capture.path),
        # how it was recorded (`run_details.describe`), or None
        "run": _run_details.describe(_run_details.load(capture.path)) or None,
        "frames": len(capture),
        "summary": {k: _six_digits(v) for k, v in summary.items()},
        "histogram": histogram(times, summary),
        "columns": columns,
        "column_count": len(figures),
        "listed": listing(figures, {f["name"] for f in drawn}),
        "damage": damage and dict(damage._asdict()),
        "repeated_flame": capture.repeated_flame,
        "flames": flames,
        "hitches": hitch_marks(capture, hitch_factor, hitch_window),
        "why_slow": why_slow_view(why),
        "merged": merged_views(capture, why, strings),
        "baseline": baseline and baseline_view(baseline, capture, hitch_factor, hitch_window),
        "strings": strings.items,
    }


def _present(capture, name, present=None):
    """(frames, values) of the frames that carry a value for `name` (`present`, if
    given, is `capture.present(name)`); frame_ms without the first frame, which has no
    earlier mark to measure from."""
    frames, values = present or capture.present(name)
    if name == "frame_ms" and len(frames) and frames[0] == 0:
        frames, values = frames[1:], values[1:]
    return frames, values


def column_figures(capture, progress=QUIET):
    """Per column of `capture`, in column order: {"name", "unit", "system", "count",
    "min", "mean", "max", "nonfinite", "constant"} and, for a user column shown under
    another name, "recorded_as". `count` counts the frames that carry a value (a
    recorded NaN or infinity included), `nonfinite` those whose value is NaN or
    infinite; min, mean and max are over the finite values (NaN when there is none).
    `constant` is true for a column whose values, at least two, are finite and all
    the same. Reads each column through `capture.present`, one at a time, and tells
    `progress` how many values it has read."""
    system = set(capture.system_columns)
    renamed = capture.renamed
    out, read = [], 0
    for name in list(capture.columns):
        present = capture.present(name)
        read += len(present[1])
        values = _present(capture, name, present)[1]
        figures = _stats.column_stats(values)
        count, nonfinite = len(values), figures["nonfinite"]
        entry = {
            "name": name,
            "unit": capture.units.get(name, ""),
            "system": name in system,
            "count": count,
            "min": figures["min"],
            "mean": figures["mean"],
            "max": figures["max"],
            "nonfinite": nonfinite,
            "constant": count > 1 and not nonfinite and figures["min"] == figures["max"],
        }
        if name in renamed:
            entry["recorded_as"] = renamed[name]
        out.append(entry)
        progress.update(read)
    return out


def by_interest(figures):
    """The columns of `figures` that vary, in the order a reader looks at them: the
    system columns in their own order, then the user columns with the most values
    first (ties in column order); constant columns and those without a value left
    out."""
    varying = [f for f in figures if f["count"] and not f["constant"]]
    return [f for f in varying if f["system"]] + sorted(
        (f for f in varying if not f["system"]), key=lambda f: -f["count"]
    )


def plotted(figures, limit=MAX_PLOTS):
    """The columns the page draws: the first `limit` of `by_interest` with a finite
    value to draw."""
    return [f for f in by_interest(figures) if f["count"] > f["nonfinite"]][:limit]


def constant_groups(figures):
    """{value: [names]} of the constant columns, the value shared by most columns
    first."""
    groups = {}
    for f in figures:
        if f["constant"]:
            groups.setdefault(f["min"], []).append(f["name"])
    return dict(sorted(groups.items(), key=lambda g: -len(g[1])))


def listing(figures, drawn, budget=LIST_CHARS):
    """The columns the page names without drawing them, within `budget` characters
    of names: {"constant": [[value, [names]]], "empty": [names], "others": [[name,
    count, nonfinite]] (most values first), "unlisted": how many names did not fit}."""
    left, unlisted = budget, 0

    def fits(name):
        nonlocal left, unlisted
        if len(name) > left:
            unlisted += 1
            return False
        left -= len(name)
        return True

    constant = []
    for value, names in constant_groups(figures).items():
        kept = [n for n in names if fits(n)]
        if kept:
            constant.append([_six_digits(value), kept])
    empty = [f["name"] for f in figures if not f["count"] and fits(f["name"])]
    others = [
        [f["name"], f["count"], f["nonfinite"]]
        for f in by_interest(figures)
        if f["name"] not in drawn and fits(f["name"])
    ]
    return {"constant": constant, "empty": empty, "others": others, "unlisted": unlisted}


def _rounded(figures):
    """Column figures for the page: numbers to six digits, NaN as None."""
    return {k: _six_digits(v) if k in ("min", "mean", "max") else v for k, v in figures.items()}


def _six_digits(value):
    """A number as a float for JSON, rounded to six significant digits; None for NaN
    and the infinities."""
    value = nan_to_none(float(value))
    return None if value is None else float(f"{value:.6g}")


def downsample(frames, values, n, buckets=BUCKETS):
    """{"step", "lo", "hi"} of a column given as the ascending frame numbers that
    carry a value and those values, over `n` frames: `lo` and `hi` hold the minimum
    and maximum finite value of each run of `step` frames (None for a run without
    one; `hi` is None when `step` is 1, the values themselves being in `lo`)."""
    step = max(1, math.ceil(n / buckets))
    lo = [None] * math.ceil(n / step)
    hi = list(lo)
    if _np is not None and isinstance(values, _np.ndarray):
        finite = _np.isfinite(values)
        runs, kept = _np.asarray(frames)[finite] // step, values[finite]
        if len(kept):
            # values arrive in frame order: each run's values are one slice
            starts = _np.flatnonzero(_np.r_[True, runs[1:] != runs[:-1]])
            lows = _np.minimum.reduceat(kept, starts).tolist()
            highs = _np.maximum.reduceat(kept, starts).tolist()
            for b, a, z in zip(runs[starts].tolist(), lows, highs):
                lo[b], hi[b] = a, z
    else:
        for k, v in zip(frames, values):
            if math.isfinite(v):
                b = k // step
                if lo[b] is None:
                    lo[b] = hi[b] = v
                else:
                    lo[b], hi[b] = min(lo[b], v), max(hi[b], v)
    return {
        "step": step,
        "lo": [None if v is None else _six_digits(v) for v in lo],
        "hi": [None if v is None else _six_digits(v) for v in hi] if step > 1 else None,
    }


def _bins_span(lo, top, p99):
    """(lo, top) of histogram bins from the fastest frame time `lo` to the slowest
    `top` or, when the slowest is more than three times `p99`, to 3 x p99."""
    if top > 3 * p99 > lo:
        top = 3 * p99
    if top <= lo:
        lo, top = lo - 0.5, lo + 0.5
    return lo, top


def histogram(times, summary, bins=HISTOGRAM_BINS, span=None):
    """Frame-time histogram: `bins` equal bins over `span` (lo, top), by default from
    the fastest frame to the slowest or, when the slowest is more than three times
    p99, to 3 x p99, the frames beyond counted in `over`. None without frame times."""
    if not times:
        return None
    ordered = sorted(times)
    lo, top = span or _bins_span(ordered[0], ordered[-1], summary["p99_ms"])
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


def hitch_marks(capture, factor, window):
    """The hitches the frame_ms plot marks: {"count", "share" (of the time), "frames"
    (each hitch's frame number), "definition"}."""
    found = _hitches.find(capture, factor, window, worst=0)
    return {
        "count": found["count"],
        "share": nan_to_none(found["share"]),
        "frames": found["frames"],
        "definition": _hitches.DEFINITION.format(factor=factor, window=window),
    }


def why_slow_view(why):
    """A `why_slow.analyse` result for the page, NaN as None: up to WHY_ROWS scopes
    ("scope_count" tells how many there are) and up to WHY_COLUMNS of the columns
    whose means differ."""
    out = nan_to_none(why)
    out["scope_count"] = len(why["scopes"])
    out["scopes"] = out["scopes"][:WHY_ROWS]
    out["columns"] = [c for c in out["columns"] if c["diff"] not in (0, None)][:WHY_COLUMNS]
    return out


def slow_and_typical(capture, why):
    """(slow, typical): the frame numbers of the flame frames in each group of a
    `why_slow.analyse` result."""
    return tuple(_why_slow.groups(capture, why["rule"].replace(" ", ""))[2:])


def merged_views(capture, why, strings):
    """The merged flame graphs (`merged_tree.merged`): {"typical": the typical frames'
    tree, "diff": the tree of the slow frames (values first) and the typical ones
    (None when `why` finds too few frames to compare), "min_share"}; None without a
    typical flame frame. A tree's "nodes" are flat: per node its parent, its name (an
    index into `strings`), then per group its mean total and self ns per frame."""
    slow, typical = slow_and_typical(capture, why)
    if not typical:
        return None

    def tree(*groups):
        out = merged_tree.merged([[capture.flame[k] for k in group] for group in groups])
        out["nodes"] = [x for p, name, values in out["nodes"] for x in (p, strings(name), *values)]
        return out

    return {
        "typical": tree(typical),
        "diff": None if why["note"] else tree(slow, typical),
        "min_share": merged_tree.MIN_SHARE,
    }


def baseline_view(base, capture, factor, window):
    """`capture` against the capture `base` (`zel.compare.compare`, NaN and the
    infinities as None): {"capture": base's file name, "histograms": {"base", "new"}
    on the same bins, "figures", "scopes" (up to COMPARE_ROWS), "scope_count",
    "method"}."""
    result = nan_to_none(_compare.compare(base, capture, factor=factor, window=window))
    runs = [
        [float(v) for v in _stats.finite_sorted(_stats.frame_times(c))] for c in (base, capture)
    ]
    shown = [(times, _stats.frame_time_stats(times)) for times in runs]
    have = [(times, s) for times, s in shown if times]
    span = have and _bins_span(
        min(times[0] for times, _ in have),
        max(times[-1] for times, _ in have),
        max(s["p99_ms"] for _, s in have),
    )
    base_h, new_h = (histogram(times, s, span=span) for times, s in shown)
    return {
        "capture": os.path.basename(base.path),
        "histograms": {"base": base_h, "new": new_h},
        "figures": result["figures"],
        "scopes": result["scopes"][:COMPARE_ROWS],
        "scope_count": len(result["scopes"]),
        "method": result["method"],
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


def slowest_flames(capture, count, strings, done=lambda k: None):
    """Flame charts of up to `count` frames with flame bytes, slowest first by
    frame time; `done(k)` is called after the k-th. The loader attaches a flame
    frame to the first record that carries it only; should `capture.flame` hold one
    twice all the same, it counts once, for the slowest. One that does not decode is
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
        done(len(out))
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
