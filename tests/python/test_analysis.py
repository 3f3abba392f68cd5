"""The analysis side: zel.load, zel.flame.decode, the statistics and the `zel`
command's record, summary and export, on real and hand-built captures."""

import csv
import json
import math
import os
import subprocess
import sys
import threading

import pytest
import streams
from recording import run_python

import zel
from zel import Scope, flame, stats

# Frame times 1..1000 ms after the first frame's 0.0, and one user column that only
# even frames carry.
FRAME_TIMES = [0.0] + [float(i) for i in range(1, 1001)]


def write_capture(path, frame_times=FRAME_TIMES, truncate=0):
    data = streams.header() + streams.decl(8, "loss", "nats")
    for i, ms in enumerate(frame_times):
        data += streams.frame([ms] + [float(i)] * 7, [(8, i * 0.5)] if i % 2 == 0 else [])
    with open(path, "wb") as f:
        f.write(data[: len(data) - truncate])
    return str(path)


def zel_command(*args, check=True):
    r = subprocess.run([sys.executable, "-m", "zel", *map(str, args)], capture_output=True, text=True, timeout=120)
    if check:
        assert r.returncode == 0, r.stderr
    return r


def test_statistics_match_hand_computed_values(tmp_path):
    # 1000 frame times 1..1000: rank (n-1)p/100 interpolated; lows over the slowest
    # 10 (mean 995.5) and the slowest 1 frames.
    expected = {"frames": 1000, "mean_ms": 500.5, "p50_ms": 500.5, "p90_ms": 900.1, "p99_ms": 990.01,
                "max_ms": 1000.0, "mean_fps": 1000 / 500.5, "low_1pct_fps": 1000 / 995.5, "low_01pct_fps": 1.0}
    assert stats.frame_time_stats(FRAME_TIMES[1:]) == pytest.approx(expected)
    assert stats.frame_time_stats([float(v) for v in reversed(FRAME_TIMES[1:])]) == pytest.approx(expected)
    # Few frames: the lows take at least one frame; five values 10..50 and 100.
    small = stats.frame_time_stats([40.0, 10.0, 100.0, 20.0, 30.0])
    assert (small["p90_ms"], small["p99_ms"], small["low_1pct_fps"]) == pytest.approx((76.0, 97.6, 10.0))

    # The command on a capture with these frame times leaves the first frame out.
    s = json.loads(zel_command("summary", "--json", write_capture(tmp_path / "c.zel")).stdout)
    assert s["frames"] == 1001 and s["duration_s"] == pytest.approx(500.5)
    assert s["frame_time"] == pytest.approx(expected)
    loss = next(c for c in s["columns"] if c["name"] == "loss")
    assert (loss["unit"], loss["count"], loss["min"], loss["max"]) == ("nats", 501, 0.0, 500.0)
    assert [e["frame"] for e in s["slowest"]] == [1000, 999, 998, 997, 996]
    table = zel_command("summary", tmp_path / "c.zel").stdout
    assert "p99 990.010" in table and "loss" in table and "nats" in table


def test_load_columns_units_and_absent_values(tmp_path):
    c = zel.load(write_capture(tmp_path / "c.zel"))
    assert len(c) == 1001 and c.system_columns[0] == "frame_ms" and c.user_columns == ["loss"]
    assert c.units["loss"] == "nats" and c.units["memory_mb"] == "MB"
    assert list(c.columns["frame_ms"]) == FRAME_TIMES
    assert c.columns["loss"][4] == 2.0 and math.isnan(c.columns["loss"][5])
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    df = c.to_pandas()
    assert df.shape == (1001, 9) and df.attrs["units"]["loss"] == "nats"
    assert c.to_arrow().schema.field("loss").metadata == {b"unit": b"nats"}


def test_without_numpy_or_pandas(tmp_path):
    path = write_capture(tmp_path / "c.zel", FRAME_TIMES[:5])
    r = run_python(
        "import sys\n",
        "sys.modules['numpy'] = sys.modules['pandas'] = None\n",
        f"import zel\nc = zel.load({path!r})\n",
        "print(type(c.columns['loss']).__name__, c.columns['frame_ms'])\n",
        "try:\n    c.to_pandas()\nexcept ImportError as e:\n    print(e)\n",
    )
    lines = r.stdout.splitlines()
    assert lines[0] == "list [0.0, 1.0, 2.0, 3.0, 4.0]"
    assert "pip install pandas" in lines[1]


def test_a_capture_being_written_is_read_to_its_last_whole_frame(tmp_path):
    c = zel.load(write_capture(tmp_path / "c.zel", truncate=7))
    assert len(c) == 1000 and c.columns["frame_ms"][-1] == 999.0


def test_bad_captures_give_one_line_errors(tmp_path):
    good = open(write_capture(tmp_path / "good.zel"), "rb").read()
    damaged = bytearray(good)
    first_frame = len(streams.header()) + len(streams.decl(8, "loss", "nats"))
    damaged[first_frame + 4 : first_frame + 8] = b"\xff\xff\x00\x00"  # its body length
    cases = {
        "missing.zel": (None, "No such file or directory"),
        "empty.zel": (b"", "the file is empty"),
        "short.zel": (good[:9], "ends inside the header"),
        "text.zel": (b"hello, world\n" * 4, "does not start with the .zel magic"),
        "damaged.zel": (bytes(damaged), "corrupt"),
    }
    for name, (data, problem) in cases.items():
        if data is not None:
            (tmp_path / name).write_bytes(data)
        for command in (["summary"], ["export", "-o", tmp_path / "out.csv"]):
            r = zel_command(command[0], tmp_path / name, *command[1:], check=False)
            assert r.returncode == 1 and r.stdout == "", (name, r)
            assert r.stderr.count("\n") == 1 and "Traceback" not in r.stderr, r.stderr
            assert str(tmp_path / name) in r.stderr and problem in r.stderr, r.stderr


def test_flame_decode_matches_the_scopes_opened(capture):
    capture.scopes()  # start from a fresh frame

    def worker():
        with Scope("load"):
            with Scope("parse"):
                pass

    with Scope("update"):
        with Scope("physics"):
            with Scope("collide"):
                pass
        with Scope("draw"):
            t = threading.Thread(target=worker)
            t.start()
            t.join()
    raw = capture.next_frame().flame
    frame = flame.decode(raw)

    def tree(scopes):
        return [(s.name, tree(s.children)) for s in scopes]

    trees = sorted(tree(t.scopes) for t in frame.threads)
    assert trees == [
        [("load", [("parse", [])])],
        [("update", [("physics", [("collide", [])]), ("draw", [])])],
    ]
    for t in frame.threads:
        for s, depth in flame.walk(t.scopes):
            assert not s.open and s.duration_ns >= 0
            assert frame.start_ns <= s.start_ns and s.stop_ns <= frame.stop_ns
            for child in s.children:
                assert s.start_ns <= child.start_ns and child.stop_ns <= s.stop_ns

    # Every strict prefix and a flipped magic are refused with FlameError.
    for n in range(len(raw)):
        with pytest.raises(flame.FlameError):
            flame.decode(raw[:n])
    with pytest.raises(flame.FlameError, match="magic"):
        flame.decode(b"X" + raw[1:])


def test_export_formats_parse_back(tmp_path):
    src = write_capture(tmp_path / "c.zel", FRAME_TIMES[:300])
    c = zel.load(src)
    try:
        import pyarrow.parquet as pq
    except ImportError:
        pq = None  # the other CPythons of the test run have no pyarrow
    for ext in ("csv", "jsonl", "parquet") if pq else ("csv", "jsonl"):
        out = tmp_path / f"out.{ext}"
        assert f"wrote 300 frames to {out}" in zel_command("export", src, "-o", out).stdout
    with open(tmp_path / "out.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    lines = [json.loads(line) for line in open(tmp_path / "out.jsonl")]
    for i in (0, 1, 299):
        for name in c.columns:
            want = float(c.columns[name][i])
            got_csv, got_json = rows[i][name], lines[i][name]
            if math.isnan(want):
                assert got_csv == "" and got_json is None
            else:
                assert float(got_csv) == want and got_json == want
        assert int(rows[i]["frame"]) == lines[i]["frame"] == i
    if pq:
        assert pq.read_table(tmp_path / "out.parquet").to_pydict()["frame_ms"] == FRAME_TIMES[:300]


def test_many_captures_become_one_parquet_dataset(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    runs = tmp_path / "runs"
    runs.mkdir()
    write_capture(runs / "a.zel", FRAME_TIMES[:100])
    write_capture(runs / "b.zel", FRAME_TIMES[:50])
    zel_command("export", runs / "a.zel", runs / "b.zel", "-o", tmp_path / "dataset")
    rows = duckdb.sql(
        f"SELECT capture, count(*), max(frame_ms), count(loss) FROM read_parquet("
        f"'{tmp_path}/dataset/*.parquet', union_by_name = true) GROUP BY capture ORDER BY capture"
    ).fetchall()
    assert rows == [(str(runs / "a.zel"), 100, 99.0, 50), (str(runs / "b.zel"), 50, 49.0, 25)]


def test_record_runs_a_script_with_recording_armed(tmp_path):
    script = tmp_path / "app.py"
    script.write_text(
        "import sys, zel\n"
        "for i in range(int(sys.argv[1])):\n"
        "    with zel.Scope('work'):\n"
        "        zel.record_metric('i', i)\n"
        "    zel.frame_mark()\n"
        "sys.exit(3)\n"
    )
    out = tmp_path / "rec.zel"
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    r = subprocess.run([sys.executable, "-m", "zel", "record", "-o", str(out), "--flame", "--every", "2",
                        "--", str(script), "7"], env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 3, r.stderr
    c = zel.load(out)
    assert len(c) == 7 and list(c.columns["i"]) == list(range(7)) and sorted(c.flame) == [0, 2, 4, 6]
