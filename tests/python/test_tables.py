# zel.load and the table exports on the captures real programs make: user names that
# clash with the table's own, recorded NaN and infinities beside frames without a
# value, flame frames the recorder attached again, and damaged records. One model of
# the table (shown name -> value or absent, per frame) is the oracle for every format.

import csv
import json
import math
import warnings

import pytest
from conftest import FRAME_TIMES, decl, frame, header, run_python, write_frames

import zel
from zel.cli import main

try:
    import pyarrow.parquet as pq
except ImportError:
    pq = None  # the other CPythons of the test run have no pyarrow

ABSENT = "absent"
INF, NAN = math.inf, math.nan
# (recorded name, unit, shown name, {frame: value}) in declaration order.
USER = [
    ("loss", "nats", "loss", {1: 1.5, 2: NAN, 3: INF, 4: -INF}),
    ("user.frame_ms", "", "user.frame_ms", {0: 2.0}),
    ("frame_ms", "ms", "user.frame_ms#2", {1: 7.0}),
    ("frame", "", "user.frame", {2: 3.0}),
    ("capture", "", "user.capture", {0: 9.0, 5: 1.0}),
    ("loss", "", "user.loss", {5: -0.0}),
]
N = 6


@pytest.fixture
def hostile(tmp_path, system_columns):
    c = len(system_columns)
    data = header(system_columns)
    data += b"".join(decl(c + i, name, unit) for i, (name, unit, _, _) in enumerate(USER))
    for k in range(N):
        user = [(c + i, v[k]) for i, (*_, v) in enumerate(USER) if k in v]
        data += frame([float(k)] * c, user)
    path = tmp_path / "hostile.zel"
    path.write_bytes(data)
    table = [
        {"frame": float(k), **{n: float(k) for n, _ in system_columns}}
        | {shown: v.get(k, ABSENT) for _, _, shown, v in USER}
        for k in range(N)
    ]
    return path, table


def same(a, b):
    return repr(a) == repr(b)  # NaN equals NaN, -0.0 differs from 0.0


def test_clashing_names_and_non_finite_values_reach_every_format(hostile, tmp_path, capsys):
    path, want = hostile
    names = list(want[0])
    c = zel.load(path)
    assert ["frame", *c.columns] == names
    assert c.renamed == {shown: name for name, _, shown, _ in USER if name != shown}
    for name in names[1:]:
        frames, values = c.present(name)
        got = {int(k): float(v) for k, v in zip(frames, values)}
        assert same(got, {k: row[name] for k, row in enumerate(want) if row[name] != ABSENT})
        assert list(c.mask(name)) == [k in got for k in range(N)] and c.count(name) == len(got)
    figures = zel.stats.column_stats(c.present("loss")[1])
    assert figures == {"min": 1.5, "mean": 1.5, "max": 1.5, "count": 4, "nonfinite": 3}

    exports = {}  # format -> rows read back as {name: float or ABSENT}
    for ext in ("csv", "jsonl", "parquet") if pq else ("csv", "jsonl"):
        out = tmp_path / f"out.{ext}"
        assert main(["export", str(path), "-o", str(out)]) == 0
        assert capsys.readouterr().out == f"wrote {N} frames to {out}\n"
        if ext == "csv":
            head, *rows = csv.reader(open(out, newline=""))
            exports[ext] = [{h: x or ABSENT for h, x in zip(head, row)} for row in rows]
        elif ext == "jsonl":
            exports[ext] = [
                {n: json.loads(line).get(n, ABSENT) for n in names} for line in open(out)
            ]
        else:
            table = pq.read_table(out)
            assert table.schema.field("loss").metadata == {b"unit": b"nats"}
            exports[ext] = [{n: r[n] if r[n] is not None else ABSENT for n in table.schema.names}
                            for r in table.to_pylist()]  # fmt: skip
        if ext != "parquet":
            assert json.load(open(f"{out}.units.json")) == {"frame": "", **c.units}
    for ext, rows in exports.items():
        rows = [{n: v if v == ABSENT else float(v) for n, v in r.items()} for r in rows]
        assert same(rows, want), ext
    try:
        import pandas  # noqa: F401
    except ImportError:
        return
    assert list(c.to_pandas().reset_index().columns) == names


def test_many_captures_as_one_parquet_dataset(system_columns, tmp_path, capsys):
    # queried as the README shows
    duckdb = pytest.importorskip("duckdb")
    sources = [tmp_path / "a.zel", tmp_path / "b.zel", tmp_path / "sub" / "a.zel"]
    (tmp_path / "sub").mkdir()
    for path, n in zip(sources, (100, 50, 3)):
        write_frames(path, system_columns, FRAME_TIMES[:n])
    out = tmp_path / "dataset"
    assert main(["export", *map(str, sources), "-o", str(out)]) == 0
    said = f"wrote 153 frames of 3 captures to the Parquet dataset {out}\n"
    assert capsys.readouterr().out == said
    assert sorted(p.name for p in out.iterdir()) == ["a-1.parquet", "a.parquet", "b.parquet"]
    rows = duckdb.sql(
        "SELECT capture, count(*), max(frame_ms), count(loss) FROM read_parquet("
        f"'{out}/*.parquet', union_by_name = true) WHERE frame > 0 GROUP BY ALL ORDER BY 1"
    ).fetchall()
    assert rows == [(str(p), n - 1, n - 1.0, (n - 1) // 2) for p, n in zip(sources, (100, 50, 3))]
    # A capture that fails takes the files written before it along: no half dataset.
    (tmp_path / "bad.zel").write_bytes(b"not a capture")
    failed = tmp_path / "failed"
    assert main(["export", str(sources[0]), str(tmp_path / "bad.zel"), "-o", str(failed)]) == 1
    assert not failed.exists() and "bad.zel" in capsys.readouterr().err


def test_a_flame_frame_attached_again_is_not_the_frames_own(tmp_path):
    # Frames 0 and 3 run scopes; the recorder attaches frame 0's flame frame again to
    # frames 1 and 2, and frame 3's to frame 4, which have none of their own.
    path = tmp_path / "again.zel"
    run_python(
        """
        import zel
        zel.enable()
        for k in range(5):
            if k in (0, 3):
                with zel.Scope(f"work{k}"):
                    pass
            zel.frame_mark()
        zel.flush()
        """,
        ZEL_RECORD=path,
        ZEL_RECORD_FLAME="1",
        ZEL_RECORD_EVERY="1",
    )
    raw = [f.flame for f in zel.Reader(str(path))]
    assert raw[1] == raw[2] == raw[0] and raw[4] == raw[3]  # what the stream holds
    c = zel.load(path)
    own = {k: [s.name for t in zel.flame.decode(b).threads for s in t.scopes]
           for k, b in c.flame.items()}  # fmt: skip
    assert own == {0: ["work0"], 3: ["work3"]} and c.repeated_flame == 3


def test_a_damaged_capture_gives_the_frames_before_the_damage(system_columns, tmp_path, capsys):
    good = write_frames(tmp_path / "good.zel", system_columns, FRAME_TIMES[:50])
    data = bytearray(good.read_bytes())
    whole = zel.load(good)
    starts = [len(header(system_columns))]  # where each record begins
    while starts[-1] < len(data):
        starts.append(starts[-1] + 4 + int.from_bytes(data[starts[-1] : starts[-1] + 4], "little"))
    for at in (starts[2], starts[len(starts) // 2], starts[-2]):
        damaged = bytearray(data)
        damaged[at : at + 4] = bytes(4)  # a record length of 0: damage, not a cut
        path = tmp_path / "damaged.zel"
        path.write_bytes(damaged)
        with pytest.raises(zel.DamagedCaptureError, match=rf"^damaged at byte {at:,}: corrupt"):
            zel.load(path)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            c = zel.load(path, strict=False)
        assert [w.category for w in caught] == [zel.DamagedCaptureWarning]
        n = c.damage.frames
        assert len(c) == n and 0 < n < len(whole) and c.damage.offset == at
        # The frames before the damage are the sound capture's, and what the capture cut
        # at the damage reads.
        path.write_bytes(data[: c.damage.offset])
        cut = zel.load(path)
        for name in whole.columns:
            assert same(list(c.columns[name]), list(whole.columns[name][:n]))
            assert same(list(cut.columns[name]), list(c.columns[name]))
        # The commands show those frames after one warning line; --strict refuses.
        path.write_bytes(damaged)
        assert main(["summary", str(path), "--json"]) == 0
        out, err = capsys.readouterr()
        assert json.loads(out)["frames"] == n and err.count("\n") == 1
        assert err.startswith(f"zel: warning: {path} is damaged at byte {at:,}: corrupt .zel blob")
        out = tmp_path / "out.csv"
        for command in (
            ["export", path, "-o", out],
            ["flame", path, "-o", out.with_suffix(".json")],
        ):
            assert main([*map(str, command), "--strict"]) == 1
            err = capsys.readouterr().err
            assert err == f"zel {command[0]}: {path}: damaged at byte {at:,}: corrupt .zel blob" + (
                f": length 0 below 4 ({n:,} whole frames before it)\n"
            )
        assert not out.exists() and main(["export", str(path), "-o", str(out)]) == 0
        assert len(out.read_text().splitlines()) == n + 1 and capsys.readouterr().err
        out.unlink()


def test_text_output_keeps_hostile_names_on_one_short_line(
    system_columns, tmp_path, capsys, monkeypatch
):
    names = ["a\nb", "x" * 500, "", "nul\x00", "tab\there"]
    c = len(system_columns)
    data = header(system_columns) + b"".join(decl(c + i, n) for i, n in enumerate(names))
    data += b"".join(  # frame 1's frame_ms is infinite: left out of the frame-time figures
        frame(
            [[0.0, math.inf, 2.0][k]] + [float(k)] * (c - 1),
            [(c + i, k + i) for i in range(len(names))],
        )
        for k in range(3)
    )
    monkeypatch.chdir(tmp_path)
    (tmp_path / "names.zel").write_bytes(data)
    for command in (["summary", "names.zel"], ["watch", "names.zel", "--once"]):
        assert main(command) == 0
        lines = capsys.readouterr().out.splitlines()
        assert max(map(len, lines)) < 100, command
        starts = [line.split(" ")[0] for line in lines]
        assert {"a\\nb", '""', "nul\\x00", "tab\\there", "x" * 47 + "…"} <= set(starts), command
    # CSV writes a NUL in a name as \x00 (the csv module of Python 3.10 cannot write it)
    assert main(["export", "names.zel", "-o", "names.csv"]) == 0 and capsys.readouterr()
    assert next(csv.reader(open("names.csv", newline="")))[-3:-1] == ["", "nul\\x00"]
    assert main(["summary", "names.zel", "--json"]) == 0
    said = json.loads(capsys.readouterr().out)
    assert (said["duration_s"], said["frame_time"]["p50_ms"], said["frame_time"]["frames"]) == (
        0.002,
        2.0,
        1,
    )


def test_flame_data_that_does_not_decode_is_left_out_unless_strict(recorded, tmp_path, capsys):
    # Three frames carry the recorded capture's flame frames; frame 1's is cut short.
    flames = [b for _, b in sorted(zel.load(recorded).flame.items())]
    flames[1] = flames[1][:30]
    data = header([("frame_ms", "ms")], flame=True)
    data += b"".join(frame([[0.0, 5.0, 9.0][k]], flame=b) for k, b in enumerate(flames))
    (path := tmp_path / "flames.zel").write_bytes(data)
    assert main(["summary", str(path), "--json"]) == 0
    slow = json.loads(capsys.readouterr().out)["slowest"]
    got = [(e["frame"], "top_scopes" in e, "flame_undecodable" in e) for e in slow]
    assert got == [(2, True, False), (1, False, True)]
    for fmt in ("perfetto", "speedscope"):
        out = tmp_path / f"{fmt}.json"
        command = ["flame", str(path), "-o", str(out), "--frames", "ALL", "--format", fmt]
        assert main(command) == 0
        err = capsys.readouterr().err
        assert err.startswith(f"zel: warning: {path}: left out 1 undecodable flame frame (frame 1")
        assert "job" in out.read_text()
        assert main([*command, "--strict"]) == 1
        assert "frame 1: damaged flame data" in capsys.readouterr().err
