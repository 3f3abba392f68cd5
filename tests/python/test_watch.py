"""`zel watch` against captures that other processes write."""

import os
import signal
import subprocess
import sys

from recording import run_python


def zel_cmd(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "zel", *args], cwd=cwd, capture_output=True, text=True, timeout=60
    )


# Writes 3 frames, then 2 more once a line arrives on standard input; says "ready"
# after each batch is on disk, and keeps the capture open.
WRITER = """
import sys, zel
zel.enable()
zel.record_metric_unit("speed", "m/s")
k = 0
for n in (3, 2):
    for _ in range(n):
        zel.record_metric("speed", 2.5 * k)
        zel.frame_mark()
        k += 1
    zel.flush()
    print("ready", flush=True)
    sys.stdin.readline()
"""


def test_watch_once_follows_a_capture_being_written(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    child = subprocess.Popen(
        [sys.executable, "-c", WRITER],
        cwd=tmp_path,
        env={**env, "ZEL_RECORD": "live.zel"},
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        seen = []
        for _ in range(2):
            assert child.stdout.readline() == "ready\n"
            out = zel_cmd("watch", "live.zel", "--once", cwd=tmp_path)
            assert out.returncode == 0, out.stderr
            seen.append(out.stdout)
            child.stdin.write("\n")
            child.stdin.flush()
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
    first, second = seen
    assert "3 frames" in first and "#2 " in first and "#3 " not in first
    assert "5 frames" in second and "#4 " in second
    speed = [line.split() for line in second.splitlines() if line.startswith("speed")]
    assert speed == [["speed", "10.000", "m/s"]]


def test_watch_ends_cleanly_on_ctrl_c_and_refuses_a_missing_file(tmp_path):
    run_python(
        "import zel\nzel.enable()\nfor _ in range(6): zel.frame_mark()\n",
        cwd=tmp_path, ZEL_RECORD="cap.zel", ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="2",
    )
    watch = subprocess.Popen(
        [sys.executable, "-m", "zel", "watch", "cap.zel", "--interval", "0.05"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert watch.stdout.readline().startswith("cap.zel: 6 frames, ")
        watch.send_signal(signal.SIGINT)
        _, err = watch.communicate(timeout=30)
    finally:
        watch.kill()
    assert watch.returncode == 0 and "Traceback" not in err

    out = zel_cmd("watch", "absent.zel", cwd=tmp_path)
    assert (out.returncode, out.stderr) == (1, "zel watch: absent.zel: no such file\n")
