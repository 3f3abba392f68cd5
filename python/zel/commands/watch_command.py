"""`zel watch`: follows a capture while it is being written.

    zel watch capture.zel                  # redraws every 0.25 s until Ctrl-C
    zel watch capture.zel --once           # one snapshot of what is written now

On a terminal the view is redrawn in place; otherwise each snapshot is appended,
after a blank line. The frame rate is the one the frames report (frame_ms), over
the frames of the last second of recorded time, not of watching time.
"""

import collections
import os
import sys
import time

from .shared import CommandError, panic_exception

CLEAR = "\x1b[H\x1b[2J"


def register(subparsers):
    p = subparsers.add_parser(
        "watch",
        help="follow a capture as it is written",
        description=(
            "Shows the last frames of a capture that is still being written, its frame rate "
            "and every column's latest value, and keeps the view up to date until Ctrl-C."
        ),
    )
    p.add_argument("capture", help="the .zel file")
    p.add_argument(
        "--interval",
        type=float,
        default=0.25,
        metavar="SECONDS",
        help="how often to look for new frames (default 0.25)",
    )
    p.add_argument(
        "--last",
        type=int,
        default=10,
        metavar="N",
        help="how many recent frames to list (default 10)",
    )
    p.add_argument(
        "--once", action="store_true", help="print one snapshot of what is written now and exit"
    )
    p.set_defaults(run=run)


class View:
    """What the screen shows, kept up to date from the frames read so far."""

    def __init__(self, path, last):
        self.path = path
        self.frames = 0
        self.recent = collections.deque(maxlen=max(last, 1))  # (frame number, frame_ms)
        self.second = collections.deque()  # frame_ms of the frames of the last second
        self.second_ms = 0.0
        self.latest = {}  # column -> (value, frame number)
        self.units = {}
        self.order = []
        self.flames = 0
        self.last_new = time.monotonic()

    def columns(self, reader):
        for name, unit in list(reader.columns) + list(reader.user_columns):
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
            self.latest[name] = (value, k)
        if frame.flame is not None:
            self.flames += 1
        self.last_new = time.monotonic()

    def fps(self):
        return len(self.second) * 1000.0 / self.second_ms if self.second_ms > 0 else float("nan")

    def render(self, live):
        lines = [f"{self.path}: {self.frames} frames, {self.flames} with flame data"]
        if not self.frames:
            lines.append("no frame written yet")
            return "\n".join(lines) + "\n"
        idle = time.monotonic() - self.last_new
        status = f", no new frame for {idle:.1f} s" if live and idle >= 1.0 else ""
        lines.append(f"{self.fps():.1f} FPS over the last second{status}")
        recent = [f"#{k} {ms:.2f} ms" for k, ms in self.recent]
        lines.append("last frames:")
        lines += ["  " + "  ".join(recent[i : i + 5]) for i in range(0, len(recent), 5)]
        lines.append("")
        width = max(len(n) for n in self.order)
        newest = self.frames - 1
        for name in self.order:
            if name not in self.latest:
                continue
            value, k = self.latest[name]
            unit = self.units.get(name, "")
            since = "" if k == newest else f"  (frame {k})"
            lines.append(f"{name:<{width}}  {value:>12.3f} {unit}{since}".rstrip())
        return "\n".join(lines) + "\n"


def _open(path):
    import _zel

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    try:
        return _zel.Reader(path)
    except OSError as e:
        # A capture whose header is not yet whole reads as a file that ended early,
        # the one OSError without an errno.
        if e.errno is None:
            return None
        raise CommandError(str(e)) from None
    except panic_exception() as e:  # not a capture, or one of another version
        raise _damaged(path, e) from None


def _damaged(path, panic):
    return CommandError(f"{path}: damaged: {str(panic).splitlines()[0]}")


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
        raise _damaged(view.path, e) from None
    view.columns(reader)
    return n


def run(args):
    if args.interval <= 0:
        raise CommandError(f"--interval must be positive, not {args.interval}")
    view = View(args.capture, args.last)
    reader = _open(args.capture)
    if args.once:
        if reader is not None:
            _read(reader, view)
        sys.stdout.write(view.render(live=False))
        return 0
    tty = sys.stdout.isatty()
    try:
        first = True
        while True:
            if reader is None:
                reader = _open(args.capture)
            new = _read(reader, view) if reader is not None else 0
            if first or new or tty:
                # Off a terminal a snapshot is appended only when there is news.
                text = view.render(live=True)
                sys.stdout.write(CLEAR + text if tty else ("" if first else "\n") + text)
                sys.stdout.flush()
                first = False
            time.sleep(args.interval)
    except KeyboardInterrupt:
        if tty:
            sys.stdout.write("\n")
        return 0
