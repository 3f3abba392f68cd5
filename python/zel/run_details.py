"""Run details: how a capture came to be, in a small JSON file beside it.

`zel record -o run.zel -- train.py --fast` writes `run.zel.meta.json` before the
program starts (so that a program that crashes still has one):

    {"argv": ["train.py", "--fast"], "script": "/home/me/proj/train.py",
     "host": "build-7", "python_version": "3.11.4", "zel_version": "0.3.0",
     "start_time": "2026-12-07T10:15:02+00:00", "cwd": "/home/me/proj",
     "commit": "1a2b3c4d...", "dirty": true}

`argv` is the program's command line as given to `zel record` (`["-m", "pkg.tool",
...]` for a module, which then has "module" in place of "script"). `commit` and
`dirty` (the work tree has uncommitted changes, untracked files included) are there
only when the script's directory, or the working directory for a module, lies in a git
work tree and git answered in time.

    from zel import run_details
    details = run_details.load("run.zel")      # a dict, or None
    for line in run_details.describe(details):
        print(line)

Every field may be missing: a reader takes what it finds, of the type it expects,
and leaves the rest out.
"""

import contextlib
import datetime
import json
import os
import platform
import shlex
import socket
import subprocess
import sys
import warnings

SUFFIX = ".meta.json"
GIT_TIMEOUT_S = 2.0  # per git command: a slow network file system must not hold the run up
MAX_BYTES = 1 << 20  # a larger sidecar is not ours


class RunDetailsWarning(UserWarning):
    """A capture's run details file exists but cannot be read: it is left out."""


def sidecar_path(capture_path):
    """The run details file of the capture at `capture_path`: the path plus ".meta.json"."""
    return os.fspath(capture_path) + SUFFIX


def _git(directory, *args):
    """The output of `git args` run in `directory`, or None when git is missing, fails,
    or takes longer than GIT_TIMEOUT_S."""
    # No optional locks: `git status` would otherwise refresh the index, racing a git
    # command the user runs meanwhile.
    env = {**os.environ, "GIT_OPTIONAL_LOCKS": "0"}
    try:
        out = subprocess.run(
            ["git", *args],
            cwd=directory,
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=GIT_TIMEOUT_S,
        )
    except (OSError, subprocess.SubprocessError):  # no git, a timeout, a missing directory
        return None
    return out.stdout.decode("utf-8", "replace") if out.returncode == 0 else None


def gather(argv, *, script=None, module=None, cwd=None):
    """The details of a run about to start: `argv` the program's command line, `script`
    its script (made absolute) or `module` the module it runs, `cwd` the working
    directory (the current one by default)."""
    from . import __version__

    cwd = os.getcwd() if cwd is None else cwd
    details = {"argv": [str(a) for a in argv]}
    if script is not None:
        details["script"] = os.path.abspath(script)
    if module is not None:
        details["module"] = module
    details.update(
        host=socket.gethostname(),
        python_version=platform.python_version(),
        zel_version=__version__,
        start_time=datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        cwd=cwd,
    )
    where = os.path.dirname(details["script"]) if script is not None else cwd
    commit = (_git(where, "rev-parse", "--verify", "--quiet", "HEAD") or "").strip()
    if commit and all(c in "0123456789abcdef" for c in commit):
        details["commit"] = commit
        status = _git(where, "status", "--porcelain")
        if status is not None:
            details["dirty"] = bool(status.strip())
    return details


def write(capture_path, details):
    """Writes `details` (a `gather` result) as the run details of the capture at
    `capture_path`, in one piece: a temporary file beside it renamed into place. An
    OSError says why it could not."""
    path = sidecar_path(capture_path)
    # ASCII JSON: an argument that is not valid UTF-8 travels as its \\udcXX escapes.
    text = json.dumps(details, indent=2) + "\n"
    tmp = f"{path}.tmp{os.getpid()}"
    try:
        with open(tmp, "w", encoding="ascii") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _reject(constant):
    raise ValueError(f"{constant} is not a JSON number")


def load(capture_path):
    """The run details of the capture at `capture_path` as a dict, or None when it has
    none. A file that cannot be read or holds no JSON object gives None and one
    RunDetailsWarning, never an exception."""
    path = sidecar_path(capture_path)
    try:
        with open(path, "rb") as f:
            raw = f.read(MAX_BYTES + 1)
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError as e:
        return _unreadable(path, e.strerror or e)
    if len(raw) > MAX_BYTES:
        return _unreadable(path, f"larger than {MAX_BYTES:,} bytes")
    try:
        details = json.loads(raw.decode("utf-8"), parse_constant=_reject)
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        return _unreadable(path, f"not JSON ({' '.join(str(e).split())})")
    if not isinstance(details, dict):
        return _unreadable(path, "not a JSON object")
    return details


def _unreadable(path, why):
    warnings.warn(f"{path}: run details left out: {why}", RunDetailsWarning, stacklevel=3)
    return None


@contextlib.contextmanager
def warnings_on_one_line():
    """Within the block, a RunDetailsWarning is shown as the commands show their
    warnings, one line on standard error: "zel: warning: MESSAGE"."""
    shown = warnings.showwarning

    def show(message, category, filename, lineno, file=None, line=None):
        if issubclass(category, RunDetailsWarning):
            print(f"zel: warning: {' '.join(str(message).split())}", file=sys.stderr)
        else:
            shown(message, category, filename, lineno, file, line)

    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = shown


def _text(details, key):
    value = details.get(key)
    return value if isinstance(value, str) and value else None


def _when(text):
    """An ISO 8601 time as "2026-12-07 10:15:02+00:00"; other text as it is."""
    try:
        return datetime.datetime.fromisoformat(text).isoformat(sep=" ", timespec="seconds")
    except ValueError:
        return text


def describe(details, width=100):
    """Run details (a `load` result; None gives []) as a few lines of text for a
    terminal, each at most about `width` characters, every value escaped (`printable`)
    so that none can add a line or a control sequence:

        recorded 2026-12-07 10:15:02+00:00 on build-7, Python 3.11.4, zel 0.3.0
        command: python train.py --fast (in /home/me/proj)
        commit 1a2b3c4d5e6f (uncommitted changes)
    """
    from .commands.shared import printable

    if not isinstance(details, dict):
        return []
    lines, head = [], []
    start, host = _text(details, "start_time"), _text(details, "host")
    if start:
        head.append(printable(_when(start), 40))
    if host:
        head.append("on " + printable(host, 40))
    first = " ".join(["recorded", *head])
    rest = [
        f"{label} {printable(value, 24)}"
        for label, value in (
            ("Python", _text(details, "python_version")),
            ("zel", _text(details, "zel_version")),
        )
        if value
    ]
    if head or rest:
        lines.append(", ".join([first, *rest]))
    argv = details.get("argv")
    if isinstance(argv, list) and argv and all(isinstance(a, str) for a in argv):
        cwd = _text(details, "cwd")
        where = f" (in {printable(cwd, width // 2)})" if cwd else ""
        lines.append(f"command: {printable('python ' + shlex.join(argv), width - 9)}{where}")
    commit = _text(details, "commit")
    if commit:
        state = " (uncommitted changes)" if details.get("dirty") is True else ""
        lines.append(f"commit {printable(commit[:12], 12)}{state}")
    return lines
