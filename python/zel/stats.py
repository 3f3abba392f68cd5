"""Frame-time statistics, as `zel summary` and the report compute them.

Percentiles interpolate linearly between the two nearest ranks (the method NumPy and
spreadsheets use by default): for n sorted values x[0..n-1], percentile p is
x[k] + (x[k+1] - x[k]) * f where k + f = (n - 1) * p / 100.

The 1% and 0.1% lows are 1000 divided by the mean frame time (in ms) of the slowest
1% and 0.1% of frames (at least one frame): an FPS figure for the worst stretches.

The first frame's frame time (0.0: no earlier mark to measure from) is left out.
"""

import math

try:
    import numpy as _np
except ImportError:  # NumPy is optional: the same figures from plain lists
    _np = None


def _sorted(values):
    if _np is not None:
        return _np.sort(_np.asarray(values, dtype=_np.float64))
    return sorted(float(v) for v in values)


def _mean(values):
    n = len(values)
    if n == 0:
        return math.nan
    return float(_np.mean(values)) if _np is not None else math.fsum(values) / n


def finite_sorted(values):
    """The finite values, ascending (a NumPy array when NumPy is there)."""
    ordered = _sorted(values)
    if _np is not None:
        return ordered[_np.isfinite(ordered)]
    return [t for t in ordered if math.isfinite(t)]


def percentile(sorted_values, p):
    """Percentile `p` (0..100) of an ascending sequence; NaN when it is empty."""
    n = len(sorted_values)
    if n == 0:
        return math.nan
    rank = (n - 1) * p / 100.0
    k = math.floor(rank)
    if k + 1 >= n:
        return float(sorted_values[-1])
    lo, hi = float(sorted_values[k]), float(sorted_values[k + 1])
    return lo + (hi - lo) * (rank - k)


def low_fps(sorted_values, fraction):
    """1000 / mean of the slowest `fraction` of frame times (ms), at least one frame."""
    if len(sorted_values) == 0:
        return math.nan
    count = max(1, math.ceil(len(sorted_values) * fraction))
    mean = _mean(sorted_values[len(sorted_values) - count :])
    return 1000.0 / mean if mean > 0 else math.inf


def frame_times(capture):
    """The capture's frame times in ms, without the first frame's 0.0."""
    return capture.columns["frame_ms"][1:]


def total_ms(times_ms):
    """The sum of the finite frame times: how long the frames took."""
    if _np is not None:  # NumPy sums pairwise: within a few ulps, and 30 times faster
        times = _np.asarray(times_ms, dtype=_np.float64)
        return float(_np.sum(times[_np.isfinite(times)]))
    return math.fsum(t for t in (float(v) for v in times_ms) if math.isfinite(t))


def frame_time_stats(times_ms):
    """{"frames", "mean_ms", "p50_ms", "p90_ms", "p99_ms", "max_ms", "mean_fps",
    "low_1pct_fps", "low_01pct_fps"} over the finite values of a list of frame times
    in ms (a recorder writes no other; a damaged or hand-made capture may)."""
    ordered = finite_sorted(times_ms)
    n = len(ordered)
    mean = _mean(ordered)
    return {
        "frames": n,
        "mean_ms": mean,
        "p50_ms": percentile(ordered, 50),
        "p90_ms": percentile(ordered, 90),
        "p99_ms": percentile(ordered, 99),
        "max_ms": float(ordered[-1]) if n else math.nan,
        "mean_fps": 1000.0 / mean if n and mean > 0 else math.nan,
        "low_1pct_fps": low_fps(ordered, 0.01),
        "low_01pct_fps": low_fps(ordered, 0.001),
    }


def slowest_frames(capture, frames):
    """The frame numbers of `frames` (e.g. `capture.flame`), slowest frame time first,
    ties earliest first. The first frame and frames without a frame time come last."""
    frame_ms = capture.columns["frame_ms"]

    def key(k):
        t = float(frame_ms[k])
        return (math.inf if k == 0 or math.isnan(t) else -t, k)

    return sorted(frames, key=key)


def column_stats(values):
    """{"min", "mean", "max", "count", "nonfinite"} of the values recorded in a column
    (`Capture.present(name)[1]`, not the dense column, whose NaN also stands for "no
    value"): `count` values, `nonfinite` of them NaN or infinite, and min, mean and
    max over the finite ones (NaN when there is none)."""
    if _np is not None:
        arr = _np.asarray(values, dtype=_np.float64)
        finite = arr[_np.isfinite(arr)]
    else:
        arr = [float(v) for v in values]
        finite = [v for v in arr if math.isfinite(v)]
    out = {"min": math.nan, "mean": math.nan, "max": math.nan, "count": len(arr)}
    if len(finite):
        out["min"] = float(min(finite) if _np is None else finite.min())
        out["mean"] = _mean(finite)
        out["max"] = float(max(finite) if _np is None else finite.max())
    out["nonfinite"] = len(arr) - len(finite)
    return out


def scopes(capture, frames="ALL", by="name", sort="self", as_frame=False, count=1, damaged=None):
    """Figures per scope over flame frames: `zel.scope_stats.scopes`, which has the
    details (imported when first called)."""
    from .scope_stats import scopes as _scopes

    return _scopes(capture, frames, by, sort, as_frame, count, damaged)
