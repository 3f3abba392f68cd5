import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import streams  # noqa: E402
from recording import SessionCapture  # noqa: E402

import _zel  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def capture(tmp_path_factory):
    """The test process records, with a flame frame on every frame, from the start;
    tests that need another configuration run in a child process."""
    return SessionCapture(tmp_path_factory.mktemp("session") / "tests.zel")


@pytest.fixture(scope="session")
def system_columns(capture):
    """The system column table, as the header of a real capture holds it."""
    capture.next_frame()
    return _zel.Reader(str(capture.path)).columns


@pytest.fixture(scope="session")
def panic():
    """The class of the PanicException that _zel raises."""
    from zel.commands.common import panic_exception

    return panic_exception()


# Frame times 1..1000 ms after the first frame's 0.0; `loss` (nats) in even frames only.
FRAME_TIMES = [0.0] + [float(i) for i in range(1, 1001)]


def write_frames(path, columns, frame_times=FRAME_TIMES):
    data = streams.header(columns) + streams.decl(len(columns), "loss", "nats")
    for i, ms in enumerate(frame_times):
        user = [(len(columns), i * 0.5)] if i % 2 == 0 else []
        data += streams.frame([ms] + [float(i)] * (len(columns) - 1), user)
    path.write_bytes(data)
    return path


def bad_files(tmp_path, columns):
    """{name: (bytes or None for no file, what the error line says)}"""
    good = write_frames(tmp_path / "good.zel", columns, FRAME_TIMES[:3]).read_bytes()
    damaged = bytearray(good)
    first = len(streams.header(columns)) + len(streams.decl(8, "loss", "nats"))
    damaged[first + 4 : first + 8] = b"\xff\xff\x00\x00"  # the first frame's body length
    return {
        "missing.zel": (None, "No such file or directory"),
        "empty.zel": (b"", "not a capture: the file is empty"),
        "short.zel": (good[:9], "not a capture: the file ends inside the header"),
        "text.zel": (b"hello, world\n" * 4, "not a capture: it does not start with the .zel magic"),
        "damaged.zel": (bytes(damaged), "corrupt .zel blob"),
    }


@pytest.fixture(scope="session")
def frames_capture(tmp_path_factory, system_columns):
    """A hand-built capture of FRAME_TIMES."""
    return write_frames(tmp_path_factory.mktemp("frames") / "c.zel", system_columns)
