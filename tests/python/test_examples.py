# The examples: a capture written from C++ through the capture core, and the frame
# loop of examples/frame_loop.py, read back through the Reader and zel.flame.

import os
import subprocess

import pytest
from conftest import run, tree

import _zel
from zel import flame

WRITER = os.environ.get("ZEL_WRITE_CAPTURE")
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "frame_loop.py")


def read(path, user_columns):
    # The 240 frames, a flame frame every 4th; {outermost scope name: its children}
    # over every thread of every flame frame, and the loop thread's tree of each.
    r = _zel.Reader(path)
    frames = list(r)
    assert r.user_columns == user_columns and r.flame_enabled and len(frames) == 240
    assert frames[0].system[0] == 0.0 and all(f.system[1] > 0 for f in frames)  # resident size
    assert [f.flame is not None for f in frames] == [i % 4 == 0 for i in range(240)]
    roots, loops = {}, []
    for f in frames[::4]:  # each flame frame holds its own frame's scopes
        for thread in flame.decode(f.flame).threads:
            for name, children in tree(thread.scopes):
                roots.setdefault(name, children)
                loops += [(name, children)] if name == "frame" else []
    return frames, roots, loops


@pytest.mark.skipif(not WRITER, reason="ZEL_WRITE_CAPTURE names no capture writer")
def test_the_cpp_writer_capture_reads_back(tmp_path, system_columns):
    path = str(tmp_path / "demo.zel")
    subprocess.run([WRITER, path], check=True, capture_output=True)
    columns = [("draw_calls", "calls"), ("entities", ""), ("physics_steps", "steps")]
    frames, roots, loops = read(path, columns)
    assert _zel.Reader(path).columns == system_columns
    assert [f.user["entities"] for f in frames[:8:4]] == [100.0, 101.0]
    assert list(frames[-1].user) == ["draw_calls", "entities", "physics_steps"]
    assert loops == [("frame", [("update", [("physics", [])]), ("draw", [])])] * 60
    assert roots["load_chunk"] == []  # the program's second thread


def test_the_example_frame_loop_records_a_complete_capture(tmp_path):
    path = str(tmp_path / "demo.zel")
    out = run(EXAMPLE, path)
    assert out.returncode == 0, out.stderr
    columns = [("bounces", "bounces"), ("draw_ms", "ms"), ("kinetic_energy", "J")]
    frames, roots, loops = read(path, columns + [("particles", "particles")])
    assert [f.user["particles"] for f in frames[55:58]] == [300.0, 900.0, 900.0]
    assert len(loops) == 60 and roots["frame"][:2] == [
        ("Particles.step", [("integrate", []), ("collide", [])]),
        ("render", [("rasterize", []), ("compose", [])]),
    ]
    assert roots["load_chunk"] == [("checksum", [])]  # the second thread
    assert f"{path}: 240 frames over" in out.stdout and "60 flame frames" in out.stdout
    assert "(top scopes by self time)" in out.stdout
