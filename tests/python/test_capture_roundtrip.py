"""A capture recorded by the C++ example through the capture core (enable, scopes,
metrics, frame marks, flush), read back through the Python Reader."""

import os
import subprocess
import sys

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


def test_the_example_frame_loop_records_a_complete_capture(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "frame_loop.py")
    path = str(tmp_path / "demo.zel")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    out = subprocess.run([sys.executable, example, path], env=env, capture_output=True,
                         text=True, check=True, timeout=120)
    r = _zel.Reader(path)
    frames = list(r)
    assert len(frames) == 240 and f"{path}: 240 frames over" in out.stdout
    assert r.user_columns == [
        ("bounces", "bounces"), ("draw_ms", "ms"), ("kinetic_energy", "J"), ("particles", "particles")
    ]
    assert [f.user["particles"] for f in frames[55:58]] == [300.0, 900.0, 900.0]
    assert [f.flame is not None for f in frames] == [i % 4 == 0 for i in range(240)]

    trees = {}
    for f in frames[::4]:
        flame = decode(f.flame)
        for _name, _start, scopes in flame["threads"]:
            for name, children in named_tree(flame, scopes):
                trees.setdefault(name, children)
    assert trees["frame"][0] == ("Particles.step", [("integrate", []), ("collide", [])])
    assert trees["frame"][1] == ("render", [("rasterize", []), ("compose", [])])
    assert trees["load_chunk"] == [("checksum", [])]  # the second thread
    assert "60 flame frames" in out.stdout and "(top scopes by self time)" in out.stdout
