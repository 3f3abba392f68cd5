"""The examples: a capture written from C++ through the capture core, and the frame
loop of examples/frame_loop.py, read back through the Reader and zel.flame."""

import os
import subprocess
import sys

import pytest
from recording import child_env, tree

import _zel
from zel import flame

WRITER = os.environ.get("ZEL_WRITE_CAPTURE")


def trees_by_root(frames):
    """{outermost scope name: its children} over every thread of every flame frame."""
    out = {}
    for f in frames:
        if f.flame is not None:
            for thread in flame.decode(f.flame).threads:
                for name, children in tree(thread.scopes):
                    out.setdefault(name, children)
    return out


@pytest.mark.skipif(
    not WRITER, reason="ZEL_WRITE_CAPTURE names no capture writer (scripts/test.sh sets it)"
)
def test_the_cpp_writer_capture_reads_back(tmp_path, system_columns):
    path = str(tmp_path / "demo.zel")
    subprocess.run([WRITER, path], check=True, capture_output=True)
    r = _zel.Reader(path)
    frames = list(r)
    assert len(frames) == 240 and r.columns == system_columns and r.flame_enabled
    assert r.user_columns == [("draw_calls", "calls"), ("entities", ""), ("physics_steps", "steps")]
    assert frames[0].system[0] == 0.0
    assert all(f.system[1] > 0 for f in frames)  # real resident size
    assert [f.user["entities"] for f in frames[:8:4]] == [100.0, 101.0]
    assert list(frames[-1].user) == ["draw_calls", "entities", "physics_steps"]
    assert [f.flame is not None for f in frames] == [i % 4 == 0 for i in range(240)]
    # Each flame frame holds its own frame's scopes: the loop's thread in every one.
    loops = [
        tree(t.scopes)
        for f in frames[::4]
        for t in flame.decode(f.flame).threads
        if t.scopes and t.scopes[0].name == "frame"
    ]
    assert len(loops) == 60 and loops[0] == [
        ("frame", [("update", [("physics", [])]), ("draw", [])])
    ]
    assert trees_by_root(frames)["load_chunk"] == []  # the program's second thread


def test_the_example_frame_loop_records_a_complete_capture(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "frame_loop.py")
    path = str(tmp_path / "demo.zel")
    out = subprocess.run(
        [sys.executable, example, path],
        env=child_env(),
        capture_output=True,
        text=True,
        check=True,
        timeout=120,
    )
    r = _zel.Reader(path)
    frames = list(r)
    assert len(frames) == 240 and f"{path}: 240 frames over" in out.stdout
    assert r.user_columns == [
        ("bounces", "bounces"),
        ("draw_ms", "ms"),
        ("kinetic_energy", "J"),
        ("particles", "particles"),
    ]
    assert [f.user["particles"] for f in frames[55:58]] == [300.0, 900.0, 900.0]
    assert [f.flame is not None for f in frames] == [i % 4 == 0 for i in range(240)]
    trees = trees_by_root(frames)
    assert trees["frame"][0] == ("Particles.step", [("integrate", []), ("collide", [])])
    assert trees["frame"][1] == ("render", [("rasterize", []), ("compose", [])])
    assert trees["load_chunk"] == [("checksum", [])]  # the second thread
    assert "60 flame frames" in out.stdout and "(top scopes by self time)" in out.stdout
