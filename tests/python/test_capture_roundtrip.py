"""A capture written by the C++ writer thread, read back through the Python Reader."""

import os
import subprocess

import pytest

import _zel
from streams import SYSTEM_COLUMNS

WRITER = os.environ.get("ZEL_WRITE_CAPTURE")


@pytest.mark.skipif(not WRITER, reason="ZEL_WRITE_CAPTURE names no capture writer (scripts/test.sh sets it)")
def test_writer_thread_capture_reads_back(tmp_path):
    path = str(tmp_path / "demo.zel")
    subprocess.run([WRITER, path], check=True, capture_output=True)
    r = _zel.Reader(path)
    frames = list(r)
    assert len(frames) == 240
    assert r.columns == SYSTEM_COLUMNS
    assert r.user_columns == [("entities", ""), ("physics_steps", "steps"), ("draw_calls", "calls")]
    assert frames[0].system[0] == 0.0
    assert all(len(f.system) == 8 and f.flame is None for f in frames)
    assert [f.user["entities"] for f in frames[:8:4]] == [100.0, 101.0]
    assert list(frames[-1].user) == ["draw_calls", "entities", "physics_steps"]
