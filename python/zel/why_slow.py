"""Why the slow frames are slow: the scopes and columns that differ between slow
frames and typical ones.

Among the frames that carry flame data, the slow ones are those at or above a frame
time (the frame-time p99 of the whole capture by default) and the typical ones those
between its p25 and p75. For each scope the mean self time per frame is taken in each
group (0 in a frame the scope is not in, so that the means add up to the frames' scope
time), then the difference, and the share of the extra frame time (slow mean minus
typical mean) that the difference accounts for. Scopes of every thread count, so on a
program whose threads work side by side the shares may add up to more than 100%.
Each other column's mean over the frames of each group that carry a value is compared
the same way.

    from zel import load, why_slow
    w = why_slow.analyse(load("capture.zel"), slow="p95")
    print(w["extra_ms"], w["scopes"][:3])
"""

import math
import re

from . import scope_stats
from . import stats as _stats

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

SLOW = "p99"
TYPICAL = (25.0, 75.0)
MIN_FRAMES = 3  # flame frames each group needs before anything is said


class SlowRuleError(ValueError):
    """A --slow value that is neither a percentile nor a frame time."""


def parse_slow(text):
    """("p", 99.0) for "p99", ("ms", 25.0) for "25ms" or "25"; SlowRuleError otherwise."""
    m = re.fullmatch(r"\s*(p)?\s*([0-9]+(?:\.[0-9]*)?)\s*(ms)?\s*", str(text), re.IGNORECASE)
    if m and not (m.group(1) and m.group(3)):
        value = float(m.group(2))
        if m.group(1) and 0 < value < 100:
            return ("p", value)
        if not m.group(1) and value > 0:
            return ("ms", value)
    raise SlowRuleError(
        f"--slow takes a frame-time percentile (p99, p95.5) or a frame time in ms (25ms), "
        f"not {text!r}"
    )


def _rule_text(kind, value):
    return f"p{value:g}" if kind == "p" else f"{value:g} ms"


def self_per_frame(capture, frames):
    """(the frames that decode, {scope: mean self ms per frame over them})."""
    if not frames:
        return [], {}
    damaged = []
    means = scope_stats.self_per_frame(capture, frames, damaged)
    bad = {k for k, _ in damaged}
    return [k for k in frames if k not in bad], means


class _Frames:
    """A group of frame numbers, ready to pick a column's values in them."""

    def __init__(self, frames):
        self.set = set(frames)
        self.array = _np.asarray(frames, dtype=_np.int64) if _np is not None else list(frames)

    def mean(self, capture, name):
        """The mean of the finite values column `name` holds in these frames, and how
        many there are. A user column's recorded frames are looked up in the group, so
        that a column with a few values costs a few lookups."""
        have, values = capture.present(name)
        if name in capture.system_columns:
            picked = values[self.array] if _np is not None else [values[k] for k in self.array]
        elif _np is not None and len(have) > 64:
            pos = _np.minimum(_np.searchsorted(self.array, have), max(len(self.array) - 1, 0))
            picked = values[self.array[pos] == have] if len(self.array) else values[:0]
        else:
            picked = [v for k, v in zip(have, values) if k in self.set]
        finite = [float(v) for v in picked if math.isfinite(v)]
        return (math.fsum(finite) / len(finite) if finite else math.nan), len(finite)


def groups(capture, slow=SLOW):
    """(threshold ms, (p25 ms, p75 ms), slow frames, typical frames): the flame frames
    (ascending frame numbers, frame 0 and frames without a finite frame time left out)
    at or above the --slow threshold, and those between p25 and p75 of every frame
    time."""
    kind, value = parse_slow(slow) if isinstance(slow, str) else slow
    frame_ms = capture.columns["frame_ms"]
    ordered = _stats.finite_sorted(_stats.frame_times(capture))
    threshold = _stats.percentile(ordered, value) if kind == "p" else value
    low, high = (_stats.percentile(ordered, p) for p in TYPICAL)
    flame = sorted(k for k in capture.flame if k > 0 and math.isfinite(frame_ms[k]))
    slow = [k for k in flame if frame_ms[k] >= threshold]
    return threshold, (low, high), slow, [k for k in flame if low <= frame_ms[k] <= high]


def analyse(capture, slow=SLOW):
    """The comparison as a JSON-ready dict: the rule and its threshold, the two groups'
    sizes and mean frame times, "extra_ms", "scopes" (name, slow_ms, typical_ms,
    diff_ms, share; largest difference first) and "columns" (name, unit, slow,
    typical, diff; largest relative difference first). "note" says why the scopes and
    columns are empty when too few flame frames are slow or typical."""
    kind, value = parse_slow(slow) if isinstance(slow, str) else slow
    out = {
        "rule": _rule_text(kind, value),
        "threshold_ms": math.nan,
        "typical_range_ms": [math.nan, math.nan],
        "slow_frames": 0,
        "typical_frames": 0,
        "slow_mean_ms": math.nan,
        "typical_mean_ms": math.nan,
        "extra_ms": math.nan,
        "scopes": [],
        "columns": [],
        "note": None,
    }
    if not capture.flame:
        out["note"] = "the capture holds no flame frames (zel record --flame records them)"
        return out
    frame_ms = capture.columns["frame_ms"]
    threshold, (low, high), slow, typical = groups(capture, (kind, value))
    out["threshold_ms"], out["typical_range_ms"] = threshold, [low, high]
    slow_frames, slow_ms = self_per_frame(capture, slow)
    typical_frames, typical_ms = self_per_frame(capture, typical)
    out["slow_frames"], out["typical_frames"] = len(slow_frames), len(typical_frames)
    for group, name in ((slow_frames, "slow"), (typical_frames, "typical")):
        if group:
            out[f"{name}_mean_ms"] = math.fsum(float(frame_ms[k]) for k in group) / len(group)
    if len(slow_frames) < MIN_FRAMES or len(typical_frames) < MIN_FRAMES:
        out["note"] = _too_few(out, len(capture.flame))
        return out
    extra = out["extra_ms"] = out["slow_mean_ms"] - out["typical_mean_ms"]
    scopes = []
    for name in set(slow_ms) | set(typical_ms):
        s, t = slow_ms.get(name, 0.0), typical_ms.get(name, 0.0)
        share = (s - t) / extra if extra > 0 else math.nan
        scopes.append(
            {"name": name, "slow_ms": s, "typical_ms": t, "diff_ms": s - t, "share": share}
        )
    out["scopes"] = sorted(scopes, key=lambda r: (-r["diff_ms"], r["name"]))
    columns = []
    slow_group, typical_group = _Frames(slow_frames), _Frames(typical_frames)
    for name in capture.units:
        if name == "frame_ms":
            continue
        s, ns = slow_group.mean(capture, name)
        t, nt = typical_group.mean(capture, name)
        if ns and nt:
            row = {"name": name, "unit": capture.units[name], "slow": s, "typical": t}
            columns.append(dict(row, diff=s - t))
    out["columns"] = sorted(columns, key=_relative_change, reverse=True)
    return out


def _relative_change(row):
    scale = max(abs(row["slow"]), abs(row["typical"]))
    return abs(row["diff"]) / scale if scale > 0 else 0.0


def _too_few(out, flame_frames):
    what = []
    if out["slow_frames"] < MIN_FRAMES:
        what.append(f"{out['slow_frames']} at or above {out['rule']}")
    if out["typical_frames"] < MIN_FRAMES:
        what.append(f"{out['typical_frames']} typical (p25..p75)")
    return (
        f"too few flame frames to compare: of {flame_frames:,} flame frames, "
        + " and ".join(what)
        + f" ({MIN_FRAMES} needed in each); record flame frames more often (--every) "
        "or choose a lower --slow"
    )
