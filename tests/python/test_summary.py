# `zel summary`: its figures against hand-computed ones, on captures built byte by
# byte. The test command also runs these under CPythons without NumPy, where the same
# exact figures must come out.

import json
import math

import pytest

from zel import stats
from zel.cli import main

# Frame times 1..1000 (the first frame's 0.0 left out): rank (n-1)p/100 interpolated;
# lows over the slowest 10 (mean 995.5) and the slowest 1 frames.
EXPECTED = dict(frames=1000, mean_ms=500.5, p50_ms=500.5, p90_ms=900.1, p99_ms=990.01)
EXPECTED.update(max_ms=1000.0, mean_fps=1000 / 500.5, low_1pct_fps=1000 / 995.5, low_01pct_fps=1.0)


def test_summary_matches_hand_computed_figures(frames_capture, capsys):
    small = stats.frame_time_stats([40.0, 10.0, 100.0, 20.0, 30.0])  # the lows take one frame
    assert [small[k] for k in ("p90_ms", "p99_ms", "low_1pct_fps")] == pytest.approx([76, 97.6, 10])
    empty = stats.frame_time_stats([])
    assert empty["frames"] == 0 and all(math.isnan(v) for k, v in empty.items() if k != "frames")

    assert main(["summary", "--json", str(frames_capture)]) == 0
    s = json.loads(capsys.readouterr().out)
    assert s["frames"] == 1001 and s["duration_s"] == pytest.approx(500.5)
    assert s["frame_time"] == pytest.approx(EXPECTED)
    columns = {c["name"]: c for c in s["columns"]}
    figures = ("unit", "count", "min", "mean", "max")
    assert [columns["loss"][k] for k in figures] == ["nats", 501, 0, 250, 500]
    # frame_ms leaves the first frame out, as the frame-time figures do
    assert [columns["frame_ms"][k] for k in figures] == ["ms", 1000, 1, 500.5, 1000]
    assert [e["frame"] for e in s["slowest"]] == [1000, 999, 998, 997, 996]
    assert main(["summary", "--slowest", "2", str(frames_capture)]) == 0
    table = capsys.readouterr().out  # the same figures as text
    assert "p99 990.010  max 1,000.000" in table and "frame      999  999.000 ms" in table
