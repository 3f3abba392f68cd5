"""`zel export`: the frame table as CSV, JSON lines and Parquet read back row by row,
and many captures as one Parquet dataset that DuckDB queries."""

import csv
import json
import math

import pytest
from conftest import FRAME_TIMES, write_frames

import zel
from zel.cli import main

try:
    import pyarrow.parquet as pq
except ImportError:
    pq = None  # the other CPythons of the test run have no pyarrow


def test_table_formats_read_back_row_by_row(frames_capture, tmp_path, capsys):
    c = zel.load(frames_capture)
    for ext in ("csv", "jsonl", "parquet") if pq else ("csv", "jsonl"):
        out = tmp_path / f"out.{ext}"
        assert main(["export", str(frames_capture), "-o", str(out)]) == 0
        assert capsys.readouterr().out == f"wrote 1,001 frames to {out}\n"
    with open(tmp_path / "out.csv", newline="") as f:
        reader = csv.reader(f)
        assert next(reader) == ["frame", *c.columns]
        rows = list(reader)
    lines = [json.loads(line) for line in open(tmp_path / "out.jsonl")]
    table = pq.read_table(tmp_path / "out.parquet").to_pydict() if pq else None
    assert len(rows) == len(lines) == len(c)
    for i, (row, line) in enumerate(zip(rows, lines)):
        assert int(row[0]) == line["frame"] == i and list(line) == ["frame", *c.columns]
        for name, cell in zip(c.columns, row[1:]):
            want = float(c.columns[name][i])
            if math.isnan(want):
                assert cell == "" and line[name] is None
            else:
                assert float(cell) == line[name] == want
            if table:
                assert table[name][i] == (None if math.isnan(want) else want)
    if table:
        assert table["frame"] == list(range(len(c)))
        fields = pq.read_schema(tmp_path / "out.parquet")
        assert fields.field("loss").metadata == {b"unit": b"nats"}


def test_many_captures_become_one_parquet_dataset(system_columns, tmp_path, capsys):
    duckdb = pytest.importorskip("duckdb")
    runs = tmp_path / "runs"
    runs.mkdir()
    write_frames(runs / "a.zel", system_columns, FRAME_TIMES[:100])
    write_frames(runs / "b.zel", system_columns, FRAME_TIMES[:50])
    (runs / "sub").mkdir()
    write_frames(runs / "sub" / "a.zel", system_columns, FRAME_TIMES[:3])
    sources = [str(runs / "a.zel"), str(runs / "b.zel"), str(runs / "sub" / "a.zel")]
    assert main(["export", *sources, "-o", str(tmp_path / "dataset")]) == 0
    assert (
        capsys.readouterr().out
        == f"wrote 153 frames of 3 captures to the Parquet dataset {tmp_path / 'dataset'}\n"
    )
    assert sorted(p.name for p in (tmp_path / "dataset").iterdir()) == [
        "a-1.parquet",
        "a.parquet",
        "b.parquet",
    ]
    rows = duckdb.sql(
        f"SELECT capture, count(*), max(frame_ms), count(loss), quantile_cont(frame_ms, 0.5) "
        f"FROM read_parquet('{tmp_path}/dataset/*.parquet', union_by_name = true) "
        f"WHERE frame > 0 GROUP BY capture ORDER BY capture"
    ).fetchall()
    assert rows == [
        (sources[0], 99, 99.0, 49, 50.0),
        (sources[1], 49, 49.0, 24, 25.0),
        (sources[2], 2, 2.0, 1, 1.5),
    ]


@pytest.mark.parametrize(
    "output, message",
    [
        ("out.txt", "out.txt: unknown format .txt; use one of .csv, .jsonl, .parquet"),
        ("out", "out: unknown format (no extension); use one of .csv, .jsonl, .parquet"),
        ("nodir/out.csv", "nodir/out.csv: no such directory: {}/nodir"),
        ("taken.csv/", "taken.csv/: File exists"),  # a dataset directory where a file is
    ],
)
def test_export_refusals(frames_capture, tmp_path, monkeypatch, capsys, output, message):
    if output.endswith("/") and pq is None:
        pytest.skip("a dataset needs pyarrow")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "taken.csv").write_text("kept")
    assert main(["export", str(frames_capture), "-o", output]) == 1
    assert capsys.readouterr().err == f"zel export: {message.format(tmp_path)}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["taken.csv"]
