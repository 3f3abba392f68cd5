"""`zel watch` on a capture another process is writing, on Ctrl-C, and on files that
are not captures yet or at all."""

import signal
import subprocess
import sys

from conftest import bad_files
from recording import child_env

from zel.cli import main

# Writes 3 frames, then 2 more once a line arrives on standard input; says "ready"
# after each batch is on disk, and keeps the capture open.
WRITER = """
import sys, zel
zel.enable()
zel.record_metric_unit("speed", "m/s")
for k in range(5):
    zel.record_metric("speed", 2.5 * k)
    zel.frame_mark()
    if k in (2, 4):
        zel.flush()
        print("ready", flush=True)
        sys.stdin.readline()
"""


def test_watch_once_follows_a_capture_being_written(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    child = subprocess.Popen([sys.executable, "-c", WRITER], env=child_env(ZEL_RECORD="live.zel"),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)  # fmt: skip
    try:
        seen = []
        for _ in range(2):
            assert child.stdout.readline() == "ready\n"
            assert main(["watch", "live.zel", "--once"]) == 0
            seen.append(capsys.readouterr().out)
            child.stdin.write("\n")
            child.stdin.flush()
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
    first, second = seen
    assert first.startswith("live.zel: 3 frames, 0 with flame data\n") and "#3 " not in first
    assert second.startswith("live.zel: 5 frames, 0 with flame data\n") and "#4 " in second
    speed = [line.split() for line in second.splitlines() if line.startswith("speed")]
    assert speed == [["speed", "10.000", "m/s"]]


def test_watch_ends_cleanly_on_ctrl_c(frames_capture):
    watch = subprocess.Popen(
        [sys.executable, "-m", "zel", "watch", frames_capture.name, "--interval", "0.05"],
        cwd=frames_capture.parent, env=child_env(), text=True,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )  # fmt: skip
    try:
        assert watch.stdout.readline() == "c.zel: 1001 frames, 0 with flame data\n"
        watch.send_signal(signal.SIGINT)
        _, err = watch.communicate(timeout=30)
    finally:
        watch.kill()
    assert watch.returncode == 0 and "Traceback" not in err


def test_watch_once_on_files_that_are_not_captures_yet_or_at_all(tmp_path, system_columns, capsys):
    expected = {  # what the error line says after the path; None: a snapshot of no frame
        "missing.zel": "no such file",
        "empty.zel": None,  # a header not yet whole: it may still come
        "short.zel": None,
        "text.zel": "damaged: assertion `left == right` failed: not a .zel stream",
        "damaged.zel": "damaged: corrupt .zel blob",
    }
    for name, (data, _) in bad_files(tmp_path, system_columns).items():
        path = tmp_path / name
        if data is not None:
            path.write_bytes(data)
        status = main(["watch", str(path), "--once"])
        out, err = capsys.readouterr()
        if expected[name] is None:
            waiting = f"{path}: 0 frames, 0 with flame data\nno frame written yet\n"
            assert (status, out, err) == (0, waiting, "")
        else:
            assert (status, out) == (1, "") and err.startswith(
                f"zel watch: {path}: {expected[name]}"
            )
            assert err.count("\n") == 1
