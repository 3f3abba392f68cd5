# A recording process killed at random moments: what it had flushed is in the file,
# readable without an error, and the only damage is a partial record at the end.

import os
import random
import signal
import subprocess
import sys
import time

from conftest import child_env

import _zel

# Marks frames with a metric that numbers them and scopes for the flame frames; new
# columns are declared along the way. After each flush it reports on standard output
# how many frames the file holds.
CHILD = r"""
import os, random, sys, time, zel
zel.enable()
os.write(1, b"armed\n")
rng, frame = random.Random(int(sys.argv[1])), 0
while True:
    with zel.Scope("frame"), zel.Scope("step"): pass
    zel.record_metric("i", frame)
    if frame < 400 and frame % 8 == 0: zel.record_metric(f"c{frame}", frame)
    zel.frame_mark(); frame += 1
    if rng.random() < 0.05: zel.flush(); os.write(1, b"%d\n" % frame)
    if frame % 16 == 0: time.sleep(0.001)
"""


def test_frames_flushed_before_sigkill_are_all_read_back(tmp_path):
    seed = int(os.environ.get("CRASH_SEED", time.time_ns() % 100000))
    print("CRASH_SEED", seed)  # shown when the test fails
    rng, flushed_total = random.Random(seed), 0
    for n in range(120):
        path = tmp_path / f"k{n}.zel"
        child = subprocess.Popen([sys.executable, "-c", CHILD, str(n)], stdout=subprocess.PIPE,
                                 env=child_env(ZEL_RECORD=path, ZEL_RECORD_FLAME="1"))  # fmt: skip
        try:  # now and then while it starts, arms or writes the header
            assert n % 10 == 0 or child.stdout.readline() == b"armed\n"
            time.sleep(rng.uniform(0, 0.15 if n % 10 else 0.05))
        finally:
            child.kill()
            out = child.communicate()[0].split()
        assert child.returncode == -signal.SIGKILL
        flushed = int(out[-1]) if out and out[-1] != b"armed" else 0
        flushed_total += flushed
        try:
            reader = _zel.Reader(str(path))
        except OSError:  # killed before the header was in the file
            assert flushed == 0
            continue
        frames = list(reader)
        assert len(frames) >= flushed and list(reader) == []  # a partial record stays unread
        for k, f in enumerate(frames):
            assert f.user["i"] == k and (k >= 400 or k % 8 or f.user[f"c{k}"] == k)
    assert flushed_total > 0  # the kills did not all come before the first flush
