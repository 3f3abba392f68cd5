"""Two runs side by side: frame-time figures with confidence intervals, scope self
times and column means, and the bounds a CI job may hold a change to.

The interval of each difference comes from a circular block bootstrap: each run's
frame times (frame 0 left out) are resampled as blocks of consecutive frames from
random starts, wrapping around the end, until a replicate is as long as the run, so
that slow stretches stay whole as they would in another run. Unless given, a run's
block length comes from its own frame times: the automatic selection of Politis and
White (2004, corrected 2009) for a circular block bootstrap, which grows with how far
apart frames still correlate (an uncorrelated run gets blocks of one frame, a run of
n frames like an AR(1) series with coefficient 0.6 about 1.7 n^(1/3) frames), and
at least n / MAX_BLOCKS frames (100 frames for a million); each run is resampled on
its own
from a seed fixed by `seed`, so the same inputs always give the same intervals. A
figure's interval is the 2.5th to 97.5th percentile of its difference (new minus
base) over the replicates, its relative interval that of new / base - 1. A hitch is
found once per run (`zel.hitches`) and resampled with its frame.

    from zel import compare, load
    result = compare.compare(load("base.zel"), load("new.zel"))
    failed = compare.gate(result, ["p99_ms>+5%", "low_1pct_fps<-3%"])
"""

import math
import re
from array import array

from . import _native, hitches
from . import stats as _stats
from .why_slow import self_per_frame

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

REPLICATES = 1000
# Blocks per replicate at most: a block starts at a random frame, whose memory is far
# from the last one's, so on a long run blocks of a few frames would cost a cache miss
# per frame. Blocks longer than the best length keep the intervals sound; they only
# make them a little less tight.
MAX_BLOCKS = 10_000
SEED = 0
LEVEL = 0.95

# (name, label, unit); the bootstrap's figures come in this order after mean_fps.
FIGURES = (
    ("mean_fps", "mean FPS", "FPS"),
    ("mean_ms", "mean frame time (ms)", "ms"),
    ("p50_ms", "p50 (ms)", "ms"),
    ("p90_ms", "p90 (ms)", "ms"),
    ("p99_ms", "p99 (ms)", "ms"),
    ("low_1pct_fps", "1% low (FPS)", "FPS"),
    ("low_01pct_fps", "0.1% low (FPS)", "FPS"),
    ("hitches", "hitches", ""),
)
_BOOTSTRAPPED = ("mean_ms", "p50_ms", "p90_ms", "p99_ms", "low_1pct_fps", "low_01pct_fps")


def block_length(series):
    """The bootstrap block for a run's frame times, from their autocorrelation (see
    the module's notes)."""
    return _native.block_length(hitches.float64_bytes(series))


def _series(capture, factor, window):
    """(finite frame times, one hitch flag per time as bytes, hitch count)."""
    times = _stats.frame_times(capture)
    at, _ = hitches.positions(times, factor, window)
    flags = bytearray(len(times))
    for k in at:
        flags[k] = 1
    if _np is not None:
        times = _np.asarray(times, dtype=_np.float64)
        keep = _np.isfinite(times)
        return times[keep], _np.frombuffer(bytes(flags), dtype=_np.uint8)[keep].tobytes(), len(at)
    keep = [i for i, t in enumerate(times) if math.isfinite(t)]
    return [float(times[i]) for i in keep], bytes(flags[i] for i in keep), len(at)


def _replicates(series, flags, block, replicates, seed):
    """{figure: [value per replicate]}."""
    raw = _native.bootstrap_frame_times(
        hitches.float64_bytes(series), flags, block, replicates, seed
    )
    rows = array("d", raw)
    width = len(_BOOTSTRAPPED) + 1
    out = {name: rows[k::width].tolist() for k, name in enumerate(_BOOTSTRAPPED)}
    out["hitches"] = rows[width - 1 :: width].tolist()
    out["mean_fps"] = [1000.0 / m if m > 0 else math.inf for m in out["mean_ms"]]
    return out


def figures(capture, factor=hitches.FACTOR, window=hitches.WINDOW, replicates=REPLICATES,
            seed=SEED, block=None):  # fmt: skip
    """A run's figures and their bootstrap replicates: ({figure: value}, {figure:
    [replicate values]}, block length)."""
    series, flags, count = _series(capture, factor, window)
    point = _stats.frame_time_stats(series)
    point["hitches"] = count
    block = max(block or block_length(series), -(-len(series) // MAX_BLOCKS))
    return point, _replicates(series, flags, block, replicates, seed), block


def _interval(values, level=LEVEL):
    ordered = sorted(v for v in values if not math.isnan(v))
    if not ordered:
        return [math.nan, math.nan]
    tail = (1 - level) / 2 * 100
    return [_stats.percentile(ordered, tail), _stats.percentile(ordered, 100 - tail)]


def _relative(new, base):
    if base == 0:
        return 0.0 if new == 0 else math.copysign(math.inf, new)
    return new / base - 1


def scope_self_per_frame(capture):
    """({scope: mean self ms per flame frame}, flame frames that decode)."""
    frames, means = self_per_frame(capture, sorted(capture.flame))
    return means, len(frames)


def _column_means(capture):
    out = {}
    for name in capture.units:
        if name != "frame_ms":
            out[name] = _stats.column_stats(capture.present(name)[1])["mean"]
    return out


def compare(base, new, *, replicates=REPLICATES, seed=SEED, block=None,
            factor=hitches.FACTOR, window=hitches.WINDOW):  # fmt: skip
    """The comparison of two captures as a JSON-ready dict (NaN stays NaN):
    "figures" (name, label, unit, base, new, diff, relative, ci, relative_ci),
    "scopes" (name, base_ms, new_ms, diff_ms: mean self time per flame frame, largest
    change first; only when both runs carry flame data), "columns" (name, unit, base,
    new, diff, relative: each column both runs have, largest relative change first)
    and "method"."""
    base_point, base_reps, base_block = figures(base, factor, window, replicates, 2 * seed, block)
    new_point, new_reps, new_block = figures(new, factor, window, replicates, 2 * seed + 1, block)
    rows = []
    for name, label, unit in FIGURES:
        b, n = base_point[name], new_point[name]
        pairs = list(zip(base_reps[name], new_reps[name]))
        rows.append(
            {
                "name": name,
                "label": label,
                "unit": unit,
                "base": b,
                "new": n,
                "diff": n - b,
                "relative": _relative(n, b),
                "ci": _interval([y - x for x, y in pairs]),
                "relative_ci": _interval([_relative(y, x) for x, y in pairs]),
            }
        )
    out = {
        "base": _about(base, base_point),
        "new": _about(new, new_point),
        "method": {
            "bootstrap": "circular block",
            "replicates": replicates,
            "seed": seed,
            "level": LEVEL,
            "block_frames": [base_block, new_block],
            "hitch_factor": factor,
            "hitch_window": window,
        },
        "figures": rows,
        "scopes": [],
        "columns": [],
    }
    if base.flame and new.flame:
        (b, nb), (n, nn) = scope_self_per_frame(base), scope_self_per_frame(new)
        out["base"]["flame_frames"], out["new"]["flame_frames"] = nb, nn
        scopes = [
            {"name": k, "base_ms": b.get(k, 0.0), "new_ms": n.get(k, 0.0)} for k in set(b) | set(n)
        ]
        for s in scopes:
            s["diff_ms"] = s["new_ms"] - s["base_ms"]
        out["scopes"] = sorted(scopes, key=lambda s: (-abs(s["diff_ms"]), s["name"]))
    b, n = _column_means(base), _column_means(new)
    columns = []
    for name in (k for k in new.units if k in b):
        row = {"name": name, "unit": new.units[name], "base": b[name], "new": n[name]}
        row["diff"] = n[name] - b[name]
        row["relative"] = _relative(n[name], b[name])
        columns.append(row)
    out["columns"] = sorted(columns, key=_change_size, reverse=True)
    return out


def _change_size(row):
    r = row["relative"]
    return (0.0 if math.isnan(r) else abs(r), abs(row["diff"]) if row["diff"] == row["diff"] else 0)


def _about(capture, point):
    return {
        "path": capture.path,
        "frames": len(capture),
        "flame_frames": len(capture.flame),
        "frame_time_frames": point["frames"],
    }


class BoundError(ValueError):
    """A --fail-if bound that does not parse or names no figure."""


_BOUND = re.compile(r"\s*([A-Za-z0-9_]+)\s*([<>])\s*([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+))\s*(%?)\s*")


def parse_bound(text):
    """(figure, ">" or "<", limit, relative) from "p99_ms>+5%" (relative: a change of
    more than +5%) or "hitches>3" (absolute: more than 3 more); BoundError otherwise."""
    m = _BOUND.fullmatch(text)
    if not m:
        raise BoundError(
            f"bad bound {text!r}: expected FIGURE>CHANGE or FIGURE<CHANGE, e.g. 'p99_ms>+5%' "
            "or 'hitches>+2'"
        )
    name, op, limit, percent = m.groups()
    known = [f for f, _, _ in FIGURES]
    if name not in known:
        raise BoundError(f"bad bound {text!r}: no figure {name!r} (figures: {', '.join(known)})")
    return name, op, float(limit) / (100.0 if percent else 1.0), bool(percent)


def gate(result, bounds):
    """Each bound checked against a `compare` result: [{"bound", "figure", "change",
    "ci", "crossed", "clear", "failed"}]. A bound fails when the change crosses it and
    the confidence interval of that change lies wholly on the same side of no change,
    so a difference the runs' own noise could make never fails a build."""
    by_name = {row["name"]: row for row in result["figures"]}
    out = []
    for text in bounds:
        name, op, limit, relative = parse_bound(text)
        row = by_name[name]
        change = row["relative"] if relative else row["diff"]
        lo, hi = row["relative_ci"] if relative else row["ci"]
        crossed = change > limit if op == ">" else change < limit
        clear = lo > 0 if op == ">" else hi < 0
        out.append(
            {
                "bound": text.strip(),
                "figure": name,
                "relative": relative,
                "change": change,
                "ci": [lo, hi],
                "crossed": crossed,
                "clear": clear,
                "failed": crossed and clear,
            }
        )
    return out
