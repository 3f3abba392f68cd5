"""Recording in tests: the capture the test process itself writes, child Python
processes with ZEL_* variables of their own (arming happens once per process), and
the `zel` command."""

import os
import subprocess
import sys
import textwrap

import _zel
from zel import flame


def child_env(**env):
    out = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    out.update(env)
    return out


def run_python(*code, cwd=None, check=True, **env):
    """Runs the pieces of `code`, each dedented, in a fresh interpreter whose ZEL_*
    variables are exactly `env`."""
    return subprocess.run(
        [sys.executable, "-c", "".join(textwrap.dedent(c) for c in code)],
        cwd=cwd,
        env=child_env(**env),
        capture_output=True,
        text=True,
        check=check,
        timeout=120,
    )


def zel_cmd(*args, cwd=None, **env):
    """`python -m zel ARGS` with no ZEL_* variable but those of `env`."""
    return subprocess.run(
        [sys.executable, "-m", "zel", *map(str, args)],
        cwd=cwd,
        env=child_env(**env),
        capture_output=True,
        text=True,
        timeout=120,
    )


def tree(scopes):
    """Scopes (zel.flame.FlameScope) as (name, [children]) pairs."""
    return [(s.name, tree(s.children)) for s in scopes]


class SessionCapture:
    """Arms the test process: ZEL_RECORD names `path`, flame frames on every frame."""

    def __init__(self, path):
        os.environ.update(ZEL_RECORD=str(path), ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="1")
        _zel.enable()
        for name in ("ZEL_RECORD", "ZEL_RECORD_FLAME", "ZEL_RECORD_EVERY"):
            del os.environ[name]  # read once; children must not inherit them
        self.path = path
        self._reader = None
        self._last_flame_index = None

    def next_frame(self):
        """Marks a frame, flushes, and returns the frame as read back."""
        _zel.frame_mark()
        _zel.flush()
        if self._reader is None:
            self._reader = _zel.Reader(str(self.path))
        frames = list(self._reader)
        assert len(frames) == 1
        return frames[0]

    def scopes(self):
        """(thread name, scope trees) recorded since the last call, per thread."""
        data = self.next_frame().flame
        if data is None:
            return []
        frame = flame.decode(data)
        if frame.index == self._last_flame_index:
            return []  # no scope since: the same frame was attached again
        self._last_flame_index = frame.index
        return [(t.name, tree(t.scopes)) for t in frame.threads]
