"""A recording process killed at random moments: what it had flushed is in the file,
readable without an error, and the only damage is a partial record at the end."""

import os
import random
import signal
import subprocess
import sys
import time

import _zel
from zel.flame import decode

# Marks frames with a metric that numbers them and scopes for the flame frames; new
# columns are declared along the way. After each flush it reports on standard output
# how many frames the file holds.
CHILD = r"""
import os, random, sys, time, zel
zel.enable()
os.write(1, b"armed\n")
rng = random.Random(int(sys.argv[1]))
frame = 0
while True:
    with zel.Scope("frame"):
        with zel.Scope("step"):
            pass
    zel.record_metric("i", frame)
    if frame < 400 and frame % 8 == 0:
        zel.record_metric(f"c{frame}", frame)
    zel.frame_mark()
    frame += 1
    if rng.random() < 0.05:
        zel.flush()
        os.write(1, b"%d\n" % frame)
    if frame % 16 == 0:
        time.sleep(0.001)
"""

KILLS = 120


def check_capture(path, flushed, rng):
    try:
        reader = _zel.Reader(str(path))
    except OSError:  # killed before the header was in the file
        assert flushed == 0
        return
    frames = list(reader)
    assert len(frames) >= flushed
    for n, f in enumerate(frames):
        assert f.user["i"] == n
        if n < 400 and n % 8 == 0:
            assert f.user[f"c{n}"] == n
    assert list(reader) == []  # a partial trailing record stays unread
    for f in frames[-2:]:
        decode(f.flame)
    # Records are written whole by one write call each, which a kill hardly ever
    # splits; a cut at a random point stands in for the write it did split.
    if frames:
        data = open(path, "rb").read()
        with open(path, "wb") as out:
            out.write(data[: rng.randrange(len(data) // 2, len(data))])
        kept = [f.user["i"] for f in _zel.Reader(str(path))]
        assert kept == list(range(len(kept))) and len(kept) <= len(frames)


def test_frames_flushed_before_sigkill_are_all_read_back(tmp_path):
    seed = int(os.environ.get("CRASH_SEED", time.time_ns() % 100000))
    print("CRASH_SEED", seed)  # shown when the test fails
    rng = random.Random(seed)
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    env.update(ZEL_RECORD_FLAME="1")
    flushed_total = 0
    for n in range(KILLS):
        env["ZEL_RECORD"] = path = str(tmp_path / f"k{n}.zel")
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(n)], env=env, stdout=subprocess.PIPE
        )
        try:
            if n % 10 == 0:  # now and then while it starts, arms or writes the header
                time.sleep(rng.uniform(0, 0.05))
            else:
                assert child.stdout.readline() == b"armed\n"
                time.sleep(rng.uniform(0, 0.15))
        finally:
            child.send_signal(signal.SIGKILL)
            out = child.stdout.read().split()
            child.wait()
        assert child.returncode == -signal.SIGKILL
        flushed = int(out[-1]) if out and out[-1] != b"armed" else 0
        check_capture(path, flushed, rng)
        flushed_total += flushed
        if os.path.exists(path):
            os.unlink(path)
    assert flushed_total > 0  # the kills did not all come before the first flush
