"""The `zel` command: the statistics of `zel summary`, one-line errors for files that
are not captures, and `zel record`."""

import json
import subprocess
import sys

import pytest
from conftest import FRAME_TIMES, bad_files
from recording import child_env, zel_cmd

import zel
from zel import stats
from zel.cli import main

# Frame times 1..1000 (the first frame's 0.0 left out): rank (n-1)p/100 interpolated;
# lows over the slowest 10 (mean 995.5) and the slowest 1 frames.
EXPECTED = {
    "frames": 1000,
    "mean_ms": 500.5,
    "p50_ms": 500.5,
    "p90_ms": 900.1,
    "p99_ms": 990.01,
    "max_ms": 1000.0,
    "mean_fps": 1000 / 500.5,
    "low_1pct_fps": 1000 / 995.5,
    "low_01pct_fps": 1.0,
}


def test_statistics_match_hand_computed_values(frames_capture, capsys):
    assert stats.frame_time_stats(FRAME_TIMES[1:]) == pytest.approx(EXPECTED)
    assert stats.frame_time_stats(FRAME_TIMES[:0:-1]) == pytest.approx(EXPECTED)
    # Few frames: the lows take at least one frame.
    small = stats.frame_time_stats([40.0, 10.0, 100.0, 20.0, 30.0])
    assert (small["p90_ms"], small["p99_ms"], small["low_1pct_fps"]) == pytest.approx(
        (76.0, 97.6, 10.0)
    )
    empty = stats.frame_time_stats([])
    assert empty["frames"] == 0 and all(v != v for k, v in empty.items() if k != "frames")

    assert main(["summary", "--json", str(frames_capture)]) == 0
    s = json.loads(capsys.readouterr().out)
    assert s["frames"] == 1001 and s["duration_s"] == pytest.approx(500.5)
    assert s["frame_time"] == pytest.approx(EXPECTED)
    loss = next(c for c in s["columns"] if c["name"] == "loss")
    assert (loss["unit"], loss["count"], loss["min"], loss["mean"], loss["max"]) == (
        "nats",
        501,
        0.0,
        250.0,
        500.0,
    )
    assert [e["frame"] for e in s["slowest"]] == [1000, 999, 998, 997, 996]
    assert main(["summary", "--slowest", "2", str(frames_capture)]) == 0
    table = capsys.readouterr().out
    assert "p50 500.500  p90 900.100  p99 990.010  max 1,000.000" in table
    assert "frame     1000  1,000.000 ms\n  frame      999  999.000 ms" in table
    assert "loss" in table and "nats" in table


def test_files_that_are_not_captures_give_one_line_errors(tmp_path, system_columns, capsys):
    for name, (data, problem) in bad_files(tmp_path, system_columns).items():
        path = tmp_path / name
        if data is not None:
            path.write_bytes(data)
        for command in (
            ["summary"],
            ["export", "-o", tmp_path / "out.csv"],
            ["report", "-o", tmp_path / "out.html"],
            ["flame", "-o", tmp_path / "out.json"],
        ):
            assert main([command[0], str(path), *map(str, command[1:])]) == 1
            out, err = capsys.readouterr()
            assert out == "" and err.startswith(f"zel {command[0]}: {path}: ")
            assert err.count("\n") == 1 and problem in err, err
    assert not any((tmp_path / f"out.{ext}").exists() for ext in ("csv", "html", "json"))


def test_record_runs_a_script_or_module_with_recording_armed(tmp_path):
    (tmp_path / "app.py").write_text(
        "import sys, zel\n"
        "for i in range(int(sys.argv[1])):\n"
        "    with zel.Scope('work'):\n"
        "        zel.record_metric('i', i)\n"
        "    zel.frame_mark()\n"
        "sys.exit(3)\n"
    )
    r = zel_cmd(
        "record", "-o", "s.zel", "--flame", "--every", "2", "--", "app.py", "7", cwd=tmp_path
    )
    assert r.returncode == 3, r.stderr
    c = zel.load(tmp_path / "s.zel")
    assert list(c.columns["i"]) == list(range(7)) and sorted(c.flame) == [0, 2, 4, 6]
    r = zel_cmd(
        "record",
        "-o",
        "m.zel",
        "--max-frames",
        "1",
        "--flame",
        "--",
        "-m",
        "app",
        "3",
        cwd=tmp_path,
    )
    assert r.returncode == 3, r.stderr
    c = zel.load(tmp_path / "m.zel")
    assert list(c.columns["i"]) == [0, 1, 2] and sorted(c.flame) == [0]
    for args, message in (
        (["--", "-m", "absent_module"], "absent_module: no such module"),
        (["--", "absent.py"], "absent.py: no such script"),
        (["--every", "0", "--", "app.py"], "--every must be at least 1"),
    ):
        r = zel_cmd("record", "-o", "x.zel", *args, cwd=tmp_path)
        assert (r.returncode, r.stdout, r.stderr) == (1, "", f"zel record: {message}\n")


def test_without_numpy_the_same_figures_and_files(frames_capture, tmp_path):
    code = (
        "import sys\n"
        "sys.modules['numpy'] = sys.modules['pandas'] = None\n"
        "from zel.cli import main\n"
        "import zel\n"
        "c = zel.load(sys.argv[1])\n"
        "assert type(c.columns['loss']) is list and c.frames == list(range(len(c)))\n"
        "try:\n    c.to_pandas()\nexcept ImportError:\n    pass\nelse:\n    raise AssertionError\n"
        "sys.exit(main(sys.argv[2:]))\n"
    )
    for args in (
        ["summary", "--json"],
        ["export", "-o", tmp_path / "x.csv"],
        ["export", "-o", tmp_path / "x.jsonl"],
    ):
        outs = []
        for prefix in ([sys.executable, "-c", code, frames_capture], [sys.executable, "-m", "zel"]):
            r = subprocess.run(
                [*map(str, prefix), *map(str, args), frames_capture],
                env=child_env(),
                capture_output=True,
                text=True,
                timeout=60,
            )
            assert r.returncode == 0, r.stderr
            outs.append(r.stdout if args[0] == "summary" else open(args[-1], "rb").read())
        assert outs[0] == outs[1], args
