"""`zel watch`: follows a capture while it is being written.

    zel watch capture.zel                  # redraws every 0.25 s until Ctrl-C
    zel watch capture.zel --once           # one snapshot of what is written now

On a terminal the view is redrawn in place; otherwise each snapshot is appended,
after a blank line. The frame rate is the one the frames report (frame_ms), over
the frames of the last second of recorded time, not of watching time.

A capture that does not exist yet is waited for. A new run recording to the same
path (which truncates the file and writes it again) or a file renamed over it is
noticed, and the view starts again from the new file's header.
"""

import collections
import errno
import os
import sys
import time

from ..table import unique_names
from .shared import CommandError, counted, panic_exception, positive_float, positive_int, printable

CLEAR = "\x1b[H\x1b[2J"
MAGIC = b"ZEL1"
MAX_ROWS = 40  # columns listed; a program with a new name every step has thousands


def register(subparsers):
    p = subparsers.add_parser(
        "watch",
        help="follow a capture as it is written",
        description=(
            "Shows the last frames of a capture that is still being written, its frame rate "
            "and every column's latest value, and keeps the view up to date until Ctrl-C. "
            "It waits for a capture that does not exist yet, and starts again when a new "
            "run writes the file anew."
        ),
    )
    p.add_argument("capture", help="the .zel file")
    p.add_argument(
        "--interval",
        type=positive_float,
        default=0.25,
        metavar="SECONDS",
        help="how often to look for new frames (default 0.25)",
    )
    p.add_argument(
        "--last",
        type=positive_int,
        default=10,
        metavar="N",
        help="how many recent frames to list (default 10)",
    )
    p.add_argument(
        "--once", action="store_true", help="print one snapshot of what is written now and exit"
    )
    p.set_defaults(run=run)


def number(v):
    """`v` in about four significant digits (0.00042, 12.35, 999.4), as a whole number
    with its thousands grouped from 1,000 to below 1e15, in exponent form beyond either
    end (1.2e-05, 1.235e+15); nan, inf and -inf as such, and a missing value as "-"."""
    if v is None:
        return "-"
    if v == 0:
        return "0"  # -0.0 too
    s = f"{v:.4g}"
    if 1e3 <= abs(float(s)) < 1e15:  # so also 999.97, which rounds to 1000
        return f"{v:,.0f}"
    return s


class View:
    """What the screen shows, kept up to date from the frames read so far."""

    def __init__(self, path, last, note=""):
        self.path = path
        self.note = note  # a line shown under the title
        self.frames = 0
        self.recent = collections.deque(maxlen=max(last, 1))  # (frame number, frame_ms)
        self.second = collections.deque()  # frame_ms of the frames of the last second
        self.second_ms = 0.0
        self.latest = {}  # column -> (value, frame number)
        self.units = {}
        self.order = []
        self.user_shown = {}  # the name shown for a user column -> its recorded name
        self.latest_user = {}  # recorded user column name -> (value, frame number)
        self.flames = 0
        self.last_new = time.monotonic()

    def columns(self, reader):
        # A user column whose name is taken (frame_ms, frame, ...) shows as zel.load
        # shows it, so that it never hides a system column.
        declared = list(reader.columns) + list(reader.user_columns)
        shown, _ = unique_names([name for name, _ in declared], len(reader.columns))
        self.user_shown = dict(
            zip(shown[len(reader.columns) :], (n for n, _ in reader.user_columns))
        )
        for name, (_, unit) in zip(shown, declared):
            if name not in self.units:
                self.order.append(name)
            self.units[name] = unit

    def add(self, frame, system_names):
        k = self.frames
        self.frames += 1
        ms = frame.system[0]
        self.recent.append((k, ms))
        # The frames whose frame_ms add up to the last second, the newest included.
        self.second.append(ms)
        self.second_ms += ms
        while len(self.second) > 1 and self.second_ms - self.second[0] >= 1000.0:
            self.second_ms -= self.second.popleft()
        for name, value in zip(system_names, frame.system):
            self.latest[name] = (value, k)
        for name, value in frame.user.items():
            self.latest_user[name] = (value, k)
        if frame.flame is not None:
            self.flames += 1
        self.last_new = time.monotonic()

    def fps(self):
        return len(self.second) * 1000.0 / self.second_ms if self.second_ms > 0 else float("nan")

    def render(self, live):
        lines = [f"{self.path}: {counted(self.frames, 'frame')}, {self.flames:,} with flame data"]
        lines += [self.note] if self.note else []
        if not self.frames:
            lines.append("no frame written yet")
            return "\n".join(lines) + "\n"
        idle = time.monotonic() - self.last_new
        status = f", no new frame for {idle:.1f} s" if live and idle >= 1.0 else ""
        lines.append(f"{number(self.fps())} FPS over the last second{status}")
        recent = [f"#{k} {number(ms)} ms" for k, ms in self.recent]
        lines.append("last frames:")
        lines += ["  " + "  ".join(recent[i : i + 5]) for i in range(0, len(recent), 5)]
        lines.append("")
        newest = self.frames - 1
        rows = []
        for name in self.order[:MAX_ROWS]:
            if name in self.user_shown:
                value, k = self.latest_user.get(self.user_shown[name], (None, newest))
            else:
                value, k = self.latest.get(name, (None, newest))
            since = "" if k == newest else f"  (frame {k})"
            rows.append(
                (printable(name), number(value), printable(self.units.get(name, ""), 16, ""), since)
            )
        width = max(len(r[0]) for r in rows)
        digits = max(8, *(len(r[1]) for r in rows))
        lines += [f"{n:<{width}}  {v:>{digits}} {u}{s}".rstrip() for n, v, u, s in rows]
        if len(self.order) > MAX_ROWS:
            lines.append(f"... and {len(self.order) - MAX_ROWS:,} more columns")
        return "\n".join(lines) + "\n"


class Source:
    """The capture file as last looked at, to tell a file that grew from one that a new
    run wrote anew. A run recording to the path truncates the file and writes it again
    (the same inode), a file renamed over the path has another inode; either way the
    Reader, which holds the old file open and keeps its place, would see nothing more or
    bytes out of place. Two runs of one program write the same header, but their first
    frames differ (their times do), so the file's first bytes tell them apart even when
    the new run has already written more than the old one had. One stat a look while
    nothing changes; the first bytes are read again only when the file did."""

    HEAD = 4096

    def __init__(self, path):
        self.path = path
        self.key = None  # (device, inode, size, mtime) at the last look
        self.head = b""  # the first HEAD bytes, as far as they were written then

    def look(self):
        """What changed since the last look: "missing", "same", "grown", "new" (the
        first sight) or "replaced"."""
        try:
            st = os.stat(self.path)
            key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            if key == self.key:
                return "same"
            with open(self.path, "rb") as f:
                head = f.read(self.HEAD)
        except FileNotFoundError:
            return "missing"
        except OSError as e:
            raise CommandError(f"{self.path}: {e.strerror or e}") from None
        if head[: len(MAGIC)] != MAGIC[: len(head)]:
            raise CommandError(f"{self.path}: not a capture: it does not start with the .zel magic")
        old, self.key = self.key, key
        n = min(len(head), len(self.head))
        if (
            old is not None
            and key[:2] == old[:2]
            and key[2] >= old[2]
            and head[:n] == self.head[:n]
        ):
            self.head = max(head, self.head, key=len)
            return "grown"
        self.head = head
        return "new" if old is None else "replaced"


def _open(path):
    """A Reader on `path`, or None while its header is not yet whole (or it is gone)."""
    import _zel

    try:
        return _zel.Reader(path)
    except OSError as e:
        # A header not yet whole reads as a file that ended early, the one OSError
        # without an errno.
        if e.errno in (None, errno.ENOENT):
            return None
        raise CommandError(f"{path}: {e.strerror or e}") from None
    except panic_exception() as e:  # another version, or a header that does not decode
        raise _unreadable(path, e) from None


def _unreadable(path, panic):
    # An equality check fails as "assertion `left == right` failed: WHAT" followed by
    # lines "  left: READ" and " right: EXPECTED"; it is told as "WHAT: READ, expected
    # EXPECTED".
    first, *rest = str(panic).splitlines()
    message = first.removeprefix("assertion `left == right` failed: ")
    sides = dict(line.strip().split(": ", 1) for line in rest if ": " in line)
    if "left" in sides and "right" in sides:
        message += f": {sides['left']}, expected {sides['right']}"
    if "unsupported .zel version" not in message:
        message = f"damaged: {message}"
    return CommandError(f"{path}: {message}")


def _read(reader, view):
    """Every frame written since the last call; the number read."""
    names = [name for name, _ in reader.columns]
    n = 0
    try:
        for frame in reader:
            view.add(frame, names)
            n += 1
    except OSError as e:
        raise CommandError(f"{view.path}: {e}") from None
    except panic_exception() as e:  # a damaged stream
        raise _unreadable(view.path, e) from None
    view.columns(reader)
    return n


def _say(line):
    sys.stderr.write(f"zel watch: {line}\n")
    sys.stderr.flush()


def run(args):
    source = Source(args.capture)
    if args.once:
        if source.look() == "missing":
            raise CommandError(f"{args.capture}: no such file")
        view, reader = View(args.capture, args.last), _open(args.capture)
        if reader is not None:
            _read(reader, view)
        sys.stdout.write(view.render(live=False))
        return 0
    try:
        _follow(args, source, sys.stdout.isatty())
    except KeyboardInterrupt:
        if sys.stdout.isatty():
            sys.stdout.write("\n")
    return 0


def _follow(args, source, tty):
    path = args.capture
    view = reader = None
    news = waited = printed = False
    seen = source.look()
    while True:
        if seen == "missing" and view is None and not waited:
            _say(f"waiting for {path} to appear")
            waited = True
        if seen in ("new", "replaced"):
            note = ""
            if seen == "replaced":
                note = f"zel watch: {path} was replaced by a new run; starting again"
                _say(note[len("zel watch: ") :])
            view, reader, news = View(path, args.last, note if tty else ""), None, True
        if reader is None and view is not None and seen != "same":
            reader = _open(path)
        if reader is not None and seen != "same":
            try:
                news = _read(reader, view) > 0 or news
            except CommandError:
                # A new run that rewrote the file between the look and the read leaves
                # the reader amid its bytes: start again rather than call it damaged.
                seen = source.look()
                if seen != "replaced":
                    raise
                continue
        if view is not None and (news or tty):
            # Off a terminal a snapshot is appended only when there is news.
            text = view.render(live=True)
            sys.stdout.write(CLEAR + text if tty else ("\n" if printed else "") + text)
            sys.stdout.flush()
            news, printed = False, True
        time.sleep(args.interval)
        seen = source.look()
