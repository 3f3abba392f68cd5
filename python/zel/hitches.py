"""Hitches: frames much slower than the frames just before them.

A hitch is a frame whose frame time exceeds FACTOR times the median of the WINDOW
frame times before it (2 and 60 by default). The first WINDOW frames have no such
baseline and are never hitches; a NaN or infinite frame time is never a hitch and
does not enter a window. A slow stretch hitches at its start and stops hitching once
it fills half the window: a hitch is a jolt, a slow stretch shows in the percentiles.
The first frame (frame time 0.0, no earlier mark) is left out, as everywhere.

    from zel import hitches, load
    h = hitches.find(load("capture.zel"))
    print(h["count"], h["share"], h["worst"][:3])
"""

import math
from array import array

from . import _native
from .stats import total_ms

FACTOR = 2.0
WINDOW = 60
DEFINITION = (
    "a hitch is a frame whose frame time exceeds K times the median of the W frame times "
    "before it (K = {factor:g}, W = {window}); the first W frames are never hitches"
)


def float64_bytes(values):
    """The values as the bytes of float64s: a NumPy array or array("d") as it is."""
    if getattr(values, "typecode", None) == "d" or str(getattr(values, "dtype", "")) == "float64":
        return values.tobytes()
    return array("d", values).tobytes()


def positions(times_ms, factor=FACTOR, window=WINDOW):
    """(positions, medians): the hitches of a series of frame times (ms), positions
    into the series ascending, and the median each was measured against."""
    at, medians = _native.find_hitches(float64_bytes(times_ms), factor, window)
    return array("q", at).tolist(), array("d", medians).tolist()


def find(capture, factor=FACTOR, window=WINDOW, worst=5, total=None):
    """The capture's hitches: {"factor", "window", "count", "time_ms" (their frame
    times added up), "share" (of the frames' total time), "frames" (frame numbers),
    "worst": up to `worst` of them that lost the most time against their median, as
    {"frame", "frame_ms", "median_ms", "ratio"}}. `total`: the frames' total time in ms
    (`stats.total_ms`), when the caller has it already."""
    times = capture.columns["frame_ms"][1:]
    at, medians = positions(times, factor, window)
    frame_ms = [float(times[k]) for k in at]
    total = total_ms(times) if total is None else total
    spent = math.fsum(frame_ms)
    lost = sorted(range(len(at)), key=lambda i: (-(frame_ms[i] - medians[i]), at[i]))
    return {
        "factor": factor,
        "window": window,
        "count": len(at),
        "time_ms": spent,
        "share": spent / total if total > 0 else math.nan,
        "frames": [k + 1 for k in at],
        "worst": [
            {
                "frame": at[i] + 1,
                "frame_ms": frame_ms[i],
                "median_ms": medians[i],
                "ratio": frame_ms[i] / medians[i] if medians[i] > 0 else math.inf,
            }
            for i in lost[:worst]
        ],
    }
