"""Recording in tests: the capture the test process itself writes, and child Python
processes with an environment of their own (arming happens once per process)."""

import os
import subprocess
import sys
import textwrap

import _zel
from flame import decode, named_tree

# Pasted into child processes that look at their own threads.
THREADS = (
    "import os\n"
    "def threads():\n"
    "    return sorted(open(f'/proc/self/task/{t}/comm').read().strip()\n"
    "                  for t in os.listdir('/proc/self/task'))\n"
)


def run_python(*code, cwd=None, check=True, **env):
    """Runs the pieces of `code`, each dedented, in a fresh interpreter whose ZEL_*
    variables are exactly `env`."""
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    child_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", "".join(textwrap.dedent(c) for c in code)],
        cwd=cwd,
        env=child_env,
        capture_output=True,
        text=True,
        check=check,
        timeout=60,
    )


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
        """The scopes recorded since the last call, per thread, as (name, trees)."""
        flame = self.next_frame().flame
        if flame is None:
            return []
        frame = decode(flame)
        if frame["meta"][0] == self._last_flame_index:
            return []  # no scope since: the same frame was attached again
        self._last_flame_index = frame["meta"][0]
        return [(name, named_tree(frame, scopes)) for name, _start, scopes in frame["threads"]]
