# What the tests share: the capture the test process itself records, child interpreters
# with ZEL_* variables of their own (arming happens once per process), a capture that
# a child records for the tools, and .zel streams built byte by byte.

import math
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import _zel
from zel import flame

PANIC = _zel.PanicException


def child_env(**env):
    # This process's environment without its ZEL_* variables, plus `env`.
    out = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    return {**out, **{k: str(v) for k, v in env.items()}}


def run(*args, cwd=None, **env):  # `python ARGS` in a child whose ZEL_* variables are `env`
    args = [sys.executable, *map(str, args)]
    env = child_env(**env)
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def run_python(*code, cwd=None, **env):  # the pieces of `code`, dedented, in a child that succeeds
    out = run("-c", "".join(textwrap.dedent(c) for c in code), cwd=cwd, **env)
    assert out.returncode == 0, out.stderr
    return out


def tree(scopes, start=-math.inf, stop=math.inf):
    # Scopes (zel.flame.FlameScope) as (name, [children]) pairs, checking on the way that
    # each ended, lies within [start, stop] and began after its elder sibling ended.
    out = []
    for s in scopes:
        assert not s.open and start <= s.start_ns <= s.stop_ns <= stop, (s, start, stop)
        out.append((s.name, tree(s.children, s.start_ns, s.stop_ns)))
        start = s.stop_ns
    return out


class SessionCapture:
    # The test process records to `path`, with a flame frame on every frame.

    def __init__(self, path):
        os.environ.update(ZEL_RECORD=str(path), ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="1")
        _zel.enable()
        for name in ("ZEL_RECORD", "ZEL_RECORD_FLAME", "ZEL_RECORD_EVERY"):
            del os.environ[name]  # read once; children must not inherit them
        self.path, self.reader = path, None

    def next_frame(self):  # marks a frame, flushes, and returns the frame as read back
        _zel.frame_mark()
        _zel.flush()
        self.reader = self.reader or _zel.Reader(str(self.path))
        (frame,) = self.reader
        return frame

    def scopes(self):  # (thread name, scope trees) per thread, of the scopes since the last frame
        frame = flame.decode(self.next_frame().flame)
        return [(t.name, tree(t.scopes, frame.start_ns, frame.stop_ns)) for t in frame.threads]


@pytest.fixture(scope="session", autouse=True)
def capture(tmp_path_factory):  # tests that need another configuration record in a child
    return SessionCapture(tmp_path_factory.mktemp("session") / "tests.zel")


@pytest.fixture(scope="session")
def system_columns(capture):  # the system column table, as a real capture's header holds it
    capture.next_frame()
    return _zel.Reader(str(capture.path)).columns


HOSTILE = '</script><img src=x onerror="document.title=1">&amp;'
# Six frames, a flame frame every second one (0, 2, 4); in each frame the main thread
# runs frame > (update > physics, draw) and a second thread job > (read, HOSTILE).
# Frame 4 is the slowest with flame data, frame 5 the slowest of all. `loss` (nats)
# has a value in every frame, HOSTILE in frame 3 only.
RECORD = f"""
import threading, time, zel
zel.enable()
zel.record_metric_unit("loss", "nats")
go, done = threading.Event(), threading.Event()

def worker():
    for k in range(6):
        go.wait(); go.clear()
        with zel.Scope("job"):
            with zel.Scope("read"): time.sleep(0.001)
            with zel.Scope({HOSTILE!r}): time.sleep(0.001)
        done.set()

threading.Thread(target=worker).start()
for k in range(6):
    with zel.Scope("frame"):
        go.set()
        with zel.Scope("update"):
            with zel.Scope("physics"): time.sleep(0.002)
        with zel.Scope("draw"): time.sleep(0.04 if k == 4 else 0.003)
        done.wait(); done.clear()
        time.sleep(0.06 if k == 5 else 0)
    zel.record_metric("loss", 1.5 * k)
    if k == 3: zel.record_metric({HOSTILE!r}, 7.0)
    zel.frame_mark()
"""


@pytest.fixture(scope="session")
def recorded(tmp_path_factory):
    path = tmp_path_factory.mktemp("recorded") / "cap.zel"
    run_python(RECORD, ZEL_RECORD=path, ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="2")
    return path


# Streams. Blocks are LZ4 blocks of one literal run, which every LZ4 decoder accepts.


def text(s):
    return struct.pack("<H", len(s.encode())) + s.encode()


def header(columns, flame=False, magic=b"ZEL1", version=2):
    out = magic + struct.pack("<HBH", version, 1 if flame else 0, len(columns))
    return out + b"".join(text(name) + text(unit) for name, unit in columns)


def blob(body):
    n, run = len(body), bytearray([min(len(body), 15) << 4])
    if n >= 15:
        run += b"\xff" * ((n - 15) // 255) + bytes([(n - 15) % 255])
    return struct.pack("<II", 4 + len(run) + n, n) + bytes(run) + body


def decl(col_id, name, unit=""):
    return blob(b"\x01" + struct.pack("<H", col_id) + text(name) + text(unit))


def frame(system, user=(), flame=b""):
    body = b"".join(struct.pack("<Hd", *u) for u in user) + struct.pack("<I", len(flame))
    return blob(b"\x00" + struct.pack(f"<{len(system)}dH", *system, len(user)) + body + flame)


# Frame times 1..1000 ms after the first frame's 0.0; `loss` (nats) in even frames only.
FRAME_TIMES = [0.0] + [float(i) for i in range(1, 1001)]


def write_frames(path, columns, frame_times=FRAME_TIMES):
    data = header(columns) + decl(len(columns), "loss", "nats")
    for i, ms in enumerate(frame_times):
        user = [(len(columns), i * 0.5)] if i % 2 == 0 else []
        data += frame([ms] + [float(i)] * (len(columns) - 1), user)
    path.write_bytes(data)
    return path


@pytest.fixture(scope="session")
def frames_capture(tmp_path_factory, system_columns):  # FRAME_TIMES, with no flame frame
    return write_frames(tmp_path_factory.mktemp("frames") / "c.zel", system_columns)
