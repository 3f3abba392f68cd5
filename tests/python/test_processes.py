# Recording in programs of several processes: forked children, process pools, two
# writers on one path, and capture names with placeholders. Every child runs under a
# time limit, so a hang fails the test instead of the suite.

import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest
from conftest import child_env, run_python

import _zel
from zel import _native

# Marks 100 frames numbered by metric i and flushes; then, while 4 threads open scopes,
# record metrics and mark frames, forks 204 children that each do one of six things
# and must end within 2 s ("own" records a capture of its own). The parent fails if a
# child hangs or fails.
FORKS = """
import os, sys, threading, time, zel
zel.enable()
for i in range(100):
    zel.record_metric("i", i); zel.frame_mark()
zel.flush()

def child(mode):
    if mode == "flush": zel.flush()
    if mode == "marks":
        for i in range(50): zel.record_metric("c", i); zel.frame_mark()
    if mode == "scopes":
        with zel.Scope("in-child"): zel.frame_mark()
    if mode == "own":
        os.environ["ZEL_RECORD"] = "child-{pid}.zel"
        zel.enable()
        for i in range(5): zel.record_metric("own", i); zel.frame_mark()
        zel.flush()
    if mode == "_exit": os._exit(0)
    sys.exit(0)

stop = threading.Event()
def work(k):
    while not stop.is_set():
        with zel.Scope(f"w{k}"):
            zel.record_metric(f"w{k}", 1.0)
            if k == 0: zel.frame_mark()
threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
for t in threads: t.start()
for mode in ["exit", "flush", "marks", "scopes", "own", "_exit"] * 34:
    with zel.Scope("forking"):
        pid = os.fork()
    if pid == 0:
        child(mode)
    deadline = time.monotonic() + 2
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        assert time.monotonic() < deadline, f"child {mode} did not end"
        time.sleep(0.01)
stop.set()
for t in threads: t.join()
zel.flush()
"""


def frames_of(path, name):
    return [f.user[name] for f in _zel.Reader(str(path)) if name in f.user]


def test_forked_children_end_promptly_and_may_record_their_own(tmp_path):
    run_python(FORKS, cwd=tmp_path, ZEL_RECORD="p.zel", ZEL_RECORD_FLAME="1")
    frames = list(_zel.Reader(str(tmp_path / "p.zel")))  # decodes to the end
    assert [f.user["i"] for f in frames[:100]] == list(range(100)) and len(frames) > 100
    assert frames_of(tmp_path / "p.zel", "c") == []  # nothing of a child's reaches it
    owns = list(tmp_path.glob("child-*.zel"))
    assert len(owns) == 34 and all(frames_of(p, "own") == list(range(5)) for p in owns)


POOL = """
import multiprocessing as mp, sys, zel
zel.enable()  # at module level: every spawned worker runs it again

def square(x):
    return x * x

if __name__ == "__main__":
    for i in range(100):
        zel.record_metric("i", i); zel.frame_mark()
    zel.flush()
    with mp.get_context(sys.argv[1]).Pool(3) as pool:
        assert pool.map(square, range(50)) == [x * x for x in range(50)]
    zel.flush()
"""


@pytest.mark.parametrize("method", ["spawn", "forkserver", "fork"])
def test_pool_workers_leave_the_parents_capture_whole(tmp_path, method):
    (tmp_path / "app.py").write_text(POOL)
    out = subprocess.run(
        [sys.executable, "app.py", method],
        cwd=tmp_path,
        env=child_env(ZEL_RECORD="p.zel"),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert frames_of(tmp_path / "p.zel", "i") == list(range(100))
    # a spawned worker says why it records nothing, once; a forked one stays quiet
    lines = out.stderr.splitlines()
    assert all("is being recorded by another process" in x for x in lines)
    assert (lines == []) == (method == "fork")


# Arms, says so, and waits for a line on standard input before marking its frames.
WRITER = """
import os, sys, zel
zel.enable()
print("armed", flush=True)
sys.stdin.readline()
for i in range(50):
    zel.record_metric("pid", os.getpid()); zel.frame_mark()
zel.flush()
if sys.argv[1:] == ["kill"]: os.kill(os.getpid(), 9)
"""


def start(*args, **env):
    return subprocess.Popen(
        [sys.executable, "-c", WRITER, *args],
        env=child_env(**env),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def test_one_writer_per_file_and_a_killed_writer_leaves_no_lock(tmp_path):
    path = tmp_path / "c.zel"
    procs = [start(ZEL_RECORD=path) for _ in range(2)]
    assert [p.stdout.readline() for p in procs] == ["armed\n"] * 2  # both armed at once
    outs = [p.communicate("go\n", timeout=30) for p in procs]
    assert [p.returncode for p in procs] == [0, 0]
    refused = [err for _, err in outs if err]
    (line,) = "".join(refused).splitlines()
    assert (
        line.startswith(f'zel: "{path}" is being recorded by another process') and "{pid}" in line
    )
    pids = {int(v) for v in frames_of(path, "pid")}
    assert len(frames_of(path, "pid")) == 50 and len(pids) == 1
    # a writer killed with SIGKILL holds the file no longer
    killed = start("kill", ZEL_RECORD=path)
    killed.stdout.readline()
    killed.communicate("go\n", timeout=30)
    assert killed.returncode == -signal.SIGKILL
    after = start(ZEL_RECORD=path)
    after.stdout.readline()
    assert after.communicate("go\n", timeout=30)[1] == "" and after.returncode == 0
    assert {int(v) for v in frames_of(path, "pid")} == {after.pid}


RANKS = ["RANK", "LOCAL_RANK", "SLURM_PROCID", "OMPI_COMM_WORLD_RANK"]


@pytest.mark.parametrize("rank_env", [{}] + [dict.fromkeys(RANKS[k:], str(k)) for k in range(4)])
def test_placeholders_name_each_process(monkeypatch, rank_env):
    for name in RANKS:
        monkeypatch.delenv(name, raising=False)
    for name, value in rank_env.items():
        monkeypatch.setenv(name, value)
    pattern = "runs/{host}-{rank}/{pid}.{time}.{x}{pid"
    before = time.strftime("%Y%m%d-%H%M%S")
    path = _native.expand_record_path(pattern)
    after = time.strftime("%Y%m%d-%H%M%S")
    host = socket.gethostname().replace("/", "_")
    rank = min(rank_env.values(), default="0")  # the first set in RANKS order holds the least
    m = re.fullmatch(
        rf"runs/{re.escape(host)}-{rank}/{os.getpid()}\.(\d{{8}}-\d{{6}})\.\{{x\}}\{{pid", path
    )
    assert m and before <= m[1] <= after, path
