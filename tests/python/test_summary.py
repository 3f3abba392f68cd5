# `zel summary`: its figures against hand-computed ones, on captures built byte by
# byte. The test command also runs these under CPythons without NumPy, where the same
# exact figures must come out.

import io
import json
import math
import sys

import pytest
from conftest import decl, frame, header

import zel
from zel import stats
from zel.cli import main
from zel.commands import summary_command
from zel.export.report import MAX_PLOTS, column_figures, listing, report_data

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
    assert [e["frame"] for e in s["slowest"]] == [1000, 999, 998, 997, 996]
    assert main(["summary", "--slowest", "2", str(frames_capture)]) == 0
    table = capsys.readouterr().out  # the same figures as text
    assert "p99 990.010  max 1,000.000" in table and "frame      999  999.000 ms" in table


# Six frames with odd columns: frame_ms 0, 10, ..., 50, memory_mb 100..105, gpu_mem
# 5.0, the other system columns 0.0; user columns "frame_ms" (taken by the system
# column) 1..6, "spiky" 1, inf, -inf, 3, "nan" one recorded NaN, "seven" 7.0 in every
# frame, "once" one value, "never" declared and never given, and `names` more names
# m0, m1, ... with one value each.
def odd_capture(path, system_columns, names=40):
    user = ["frame_ms", "spiky", "nan", "seven", "once", "never"]
    user += [f"m{i}" for i in range(names)]
    ids = {name: 8 + k for k, name in enumerate(user)}
    data = header(system_columns) + b"".join(decl(ids[n], n) for n in user)
    spiky = {1: 1.0, 2: math.inf, 3: -math.inf, 4: 3.0}
    for i in range(6):
        values = [("frame_ms", i + 1.0), ("seven", 7.0)] + [("spiky", spiky.get(i))] * (i in spiky)
        values += [("nan", math.nan)] * (i == 2) + [("once", 4.0)] * (i == 5)
        values += [(f"m{k}", float(k)) for k in range(i, names, 6)]
        system = [10.0 * i, 100.0 + i, 0, 0, 0, 0, 0, 5.0]
        data += frame(system, [(ids[n], v) for n, v in values])
    path.write_bytes(data)
    return path


ZEROS = ["io_ms", "io_MB", "gpu_util", "gpu_sm", "gpu_power"]  # nothing feeds them
# name: (count, min, mean, max, nonfinite, constant); None for no finite value
FIGURES = {
    "frame_ms": (5, 10, 30, 50, 0, False),  # the first frame left out
    "memory_mb": (6, 100, 102.5, 105, 0, False),
    **dict.fromkeys(ZEROS, (6, 0, 0, 0, 0, True)),
    "gpu_mem": (6, 5, 5, 5, 0, True),
    "user.frame_ms": (6, 1, 3.5, 6, 0, False),
    "spiky": (4, 1, 2, 3, 2, False),
    "nan": (1, None, None, None, 1, False),
    "seven": (6, 7, 7, 7, 0, True),
    "once": (1, 4, 4, 4, 0, False),  # one value: nothing to be constant over
    "never": (0, None, None, None, 0, False),
}
CONSTANT = [
    "constant 0: " + ", ".join(ZEROS),
    "constant 5: gpu_mem",
    "constant 7: seven",
    "no values: never",
]


def test_odd_columns_in_summary_and_report(system_columns, tmp_path, capsys):
    path = odd_capture(tmp_path / "odd.zel", system_columns)
    assert main(["summary", "--json", str(path)]) == 0
    s = json.loads(capsys.readouterr().out)
    keys = ("count", "min", "mean", "max", "nonfinite", "constant")
    got = {c["name"]: tuple(c[k] for k in keys) for c in s["columns"]}
    assert got == {**FIGURES, **{f"m{i}": (1, i, i, i, 0, False) for i in range(40)}}
    assert [c.get("recorded_as") for c in s["columns"] if "recorded_as" in c] == ["frame_ms"]

    assert main(["summary", str(path)]) == 0
    out = capsys.readouterr().out
    rows = out[out.index("\ncolumn ") + 1 :].split("\n\n")[0].splitlines()[2:]
    varying = ["frame_ms", "memory_mb", "user.frame_ms", "spiky", "nan", "once"]
    varying += [f"m{i}" for i in range(40)]  # one value each, in column order
    assert [r.split()[0] for r in rows[:30]] == varying[:30]
    assert rows[30:] == ["... 16 more columns (zel summary --json lists all)"] + CONSTANT
    assert rows[3].split() == ["spiky", "1.000", "2.000", "3.000", "4", "2"]  # no unit
    assert rows[4].split() == ["nan", "-", "-", "-", "1", "1"]

    data = report_data(zel.load(path))
    drawn = [c["name"] for c in data["columns"]]
    assert drawn == [n for n in varying if n != "nan"][:MAX_PLOTS]  # nan: nothing to draw
    assert [c["nonfinite"] for c in data["columns"]][:4] == [0, 0, 0, 2]
    others = [["nan", 1, 1]] + [[n, 1, 0] for n in varying[MAX_PLOTS + 1 :]]
    constant = [[0, ZEROS], [5, ["gpu_mem"]], [7, ["seven"]]]
    assert data["listed"] == dict(constant=constant, empty=["never"], others=others, unlisted=0)
    # past the budget of characters, names are only counted: 3 more 0s, gpu_mem, seven, never
    small = listing(column_figures(zel.load(path)), set(drawn), budget=10)
    assert small == dict(constant=[[0, ZEROS[:2]]], empty=[], others=[], unlisted=6 + len(others))


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_repeated_flame_damage_strict_and_progress(system_columns, recorded, tmp_path, monkeypatch):
    # Frames 0..3, frame 1 the slowest; frame 1 carries frame 0's flame frame again,
    # then a record whose block does not decode.
    a, b = (zel.load(recorded).flame[k] for k in (0, 2))
    data = header(system_columns, flame=True)
    for ms, flame in ((0, a), (50, a), (10, b), (20, b"")):
        data += frame([float(ms)] + [0.0] * 7, flame=flame)
    bad = frame([30.0] + [0.0] * 7)
    path = tmp_path / "c.zel"
    path.write_bytes(data + bad[:4] + b"\xff\xff\0\0" + bad[8:])
    at = len(data)  # where the damage is

    def zel_(*args, tty=False):
        out, err = io.StringIO(), Terminal() if tty else io.StringIO()
        monkeypatch.setattr(sys, "stdout", out)
        monkeypatch.setattr(sys, "stderr", err)
        return main([*map(str, args)]), out.getvalue(), err.getvalue()

    status, out, _ = zel_("summary", "--json", path)
    s = json.loads(out)
    got = (status, s["frames"], s["flame_frames"], s["repeated_flame"], s["damage"]["offset"])
    assert got == (0, 4, 2, 1, at) and s["damage"]["frames"] == 4
    # of the slowest 1, 3, 2, frame 1 shows no scopes: its flame frame is frame 0's
    assert [e["frame"] for e in s["slowest"] if "top_scopes" in e] == [2]
    text = zel_("summary", path)[1]
    assert f"damaged at byte {at:,} (corrupt" in text and "1 records repeat a flame" in text
    with pytest.warns(UserWarning, match="damaged"):
        data = report_data(zel.load(path, strict=False), slowest=3)
    assert (data["damage"]["offset"], data["repeated_flame"]) == (at, 1)
    assert [f["frame"] for f in data["flames"]] == [2, 0]

    report = ["report", path, "-o", tmp_path / "r.html"]
    status, _, err = zel_(*report, "--strict")
    assert status == 1 and err.count("\n") == 1 and "corrupt" in err
    for args, tty, bars in [
        (["summary", path], True, []),  # too small for a bar
        (report, False, []),
        (report + ["--no-progress"], True, []),
        (report, True, ["report: columns", "report: flame charts"]),
    ]:
        status, _, err = zel_(*args, tty=tty)
        shown = [line.split(" [")[0] for line in err.split("\r")[1:] if line.endswith("100%\n")]
        assert (status, shown) == (0, bars)
    monkeypatch.setattr(summary_command, "BIG", 1)
    assert "\rsummary: columns [" + "#" * 25 + "] 100%\n" in zel_("summary", path, tty=True)[2]
