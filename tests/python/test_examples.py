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


def check(path, system_columns, columns, values, loops, loader):
    # 240 frames with a value of every user column each (`values`: some of them), a
    # flame frame every 4th with its own frame's scopes: the frame scope's children as
    # `loops`, and the second thread's load_chunk scopes with `loader` as children.
    r = _zel.Reader(path)
    frames = list(r)
    assert r.columns == system_columns and r.flame_enabled and len(frames) == 240
    assert r.user_columns == columns and all(list(f.user) == list(dict(columns)) for f in frames)
    assert {k: frames[k].user[values[0]] for k in values[1]} == values[1]
    assert all(f.system[1] > 0 for f in frames)  # resident size
    assert [f.flame is not None for f in frames] == [i % 4 == 0 for i in range(240)]
    trees = [tree(t.scopes) for f in frames[::4] for t in flame.decode(f.flame).threads]
    assert [children for t in trees for name, children in t if name == "frame"] == loops
    assert ("load_chunk", loader) in [root for t in trees for root in t]


@pytest.mark.skipif(not WRITER, reason="ZEL_WRITE_CAPTURE names no capture writer")
def test_the_cpp_writer_capture_reads_back(tmp_path, system_columns):
    path = str(tmp_path / "demo.zel")
    subprocess.run([WRITER, path], check=True, capture_output=True)
    columns = [("draw_calls", "calls"), ("entities", ""), ("physics_steps", "steps")]
    loop = [("update", [("physics", [])]), ("draw", [])]
    check(path, system_columns, columns, ("entities", {0: 100, 4: 101, 239: 159}), [loop] * 60, [])


def test_the_example_frame_loop_records_a_complete_capture(tmp_path, system_columns):
    path = str(tmp_path / "demo.zel")
    out = run(EXAMPLE, path)
    assert out.returncode == 0, out.stderr
    assert f"{path}: 240 frames over" in out.stdout and "60 flame frames" in out.stdout
    assert "(top scopes by self time)" in out.stdout
    columns = [("bounces", "bounces"), ("draw_ms", "ms"), ("kinetic_energy", "J")]
    step = [("Particles.step", [("integrate", []), ("collide", [])])]
    step += [("render", [("rasterize", []), ("compose", [])])]
    burst = [("spawn_burst", [("bake_lighting", [])]), *step]  # late in every second
    columns, particles = columns + [("particles", "particles")], {55: 300, 56: 900, 57: 900}
    loops = ([step] * 14 + [burst]) * 4
    check(path, system_columns, columns, ("particles", particles), loops, [("checksum", [])])
