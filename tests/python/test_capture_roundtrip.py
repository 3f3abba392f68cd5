"""A capture recorded by the C++ example through the capture core (enable, scopes,
metrics, frame marks, flush), read back through the Python Reader."""

import os
import subprocess

import pytest

import _zel
from flame import decode, named_tree
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
    assert r.user_columns == [("draw_calls", "calls"), ("entities", ""), ("physics_steps", "steps")]
    assert r.flame_enabled
    assert frames[0].system[0] == 0.0
    assert all(len(f.system) == 8 and f.system[1] > 0 for f in frames)  # real resident size
    assert [f.user["entities"] for f in frames[:8:4]] == [100.0, 101.0]
    assert list(frames[-1].user) == ["draw_calls", "entities", "physics_steps"]

    assert [f.flame is not None for f in frames] == [i % 4 == 0 for i in range(240)]
    # Each flame frame holds the scopes of its own frame, one tree per thread; both
    # threads were started by the program, so both are unnamed.
    frames_threads = []
    for f in frames[::4]:
        flame = decode(f.flame)
        frames_threads.append([named_tree(flame, scopes) for _, _, scopes in flame["threads"]])
    loop = [t for threads in frames_threads for t in threads if t and t[0][0] == "frame"]
    assert len(loop) == len(frames_threads)  # the loop's thread in every flame frame
    assert loop[0] == [("frame", [("update", [("physics", [])]), ("draw", [])])]
    assert any(t and all(s == ("load_chunk", []) for s in t) for th in frames_threads for t in th)
