# `zel watch`: its snapshots of a capture cut anywhere, how it shows values, its one-line
# refusals, and how it follows a path that a run has yet to create, rewrites in place or
# replaces with another file.

import math
import os
import queue
import signal
import subprocess
import sys
import threading
import time

from conftest import child_env, decl, frame, header, run_python

import _zel
from zel.cli import main
from zel.commands.watch_command import MAX_ROWS, number

# fmt: off
NUMBERS = [
    (0.00042, "0.00042"), (1.2e-5, "1.2e-05"), (12.3456, "12.35"), (-0.5, "-0.5"), (2.0, "2"),
    (999.4, "999.4"), (999.97, "1,000"), (1234.6, "1,235"), (-123456789.0, "-123,456,789"),
    (1e15, "1e+15"), (0.0, "0"), (-0.0, "0"), (None, "-"),
    (math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf"),
]  # 999.97 rounds up to the grouped form, not to "1000"
# fmt: on


def test_numbers_keep_four_significant_digits():
    assert [number(v) for v, _ in NUMBERS] == [shown for _, shown in NUMBERS]


def test_once_shows_what_is_written_so_far(frames_capture, tmp_path, capsys):
    data, live = frames_capture.read_bytes(), tmp_path / "live.zel"
    for cut in (0, 9, len(data) // 2 + 3, len(data) // 2, len(data)):
        live.write_bytes(data[:cut])  # nothing, half a header, half a frame, all
        n = len(list(_zel.Reader(str(live)))) if cut > 9 else 0
        assert main(["watch", str(live), "--once"]) == 0
        out, err = capsys.readouterr()
        assert out.startswith(f"{live}: {n:,} frames, 0 with flame data\n") and err == ""
        if not n:
            assert out.endswith("\nno frame written yet\n")
            continue
        # `loss` is recorded in even frames only, as the frame number / 2.
        last_loss = (n - 1) // 2 * 2
        since = [] if last_loss == n - 1 else ["(frame", f"{last_loss})"]
        loss = [line.split() for line in out.splitlines() if line.startswith("loss")]
        assert loss == [["loss", number(last_loss / 2), "nats", *since]]
        assert f"#{n - 1} {number(n - 1.0)} ms" in out and f"#{n} " not in out


def test_once_refuses_what_is_no_capture_in_one_line(tmp_path, capsys):
    h, f = header([("frame_ms", "ms")]), frame([0.0])  # f[4:8]: its body's length
    (tmp_path / "dir.zel").mkdir()
    for name, data, problem in [
        ("missing.zel", None, "no such file"),
        ("dir.zel", None, "Is a directory"),
        ("text.zel", b"hello, world\n" * 4, "not a capture: it does not start with the .zel magic"),
        ("short.json", b"{}\n", "not a capture: it does not start with the .zel magic"),
        ("damaged.zel", h + f[:4] + b"\xff\xff\0\0" + f[8:], "damaged: corrupt .zel blob"),
        ("v3.zel", header([], version=3), "unsupported .zel version: 3, expected 2"),
    ]:
        if data is not None:
            (tmp_path / name).write_bytes(data)
        path = str(tmp_path / name)
        assert main(["watch", path, "--once"]) == 1
        out, err = capsys.readouterr()
        assert (out, err.count("\n")) == ("", 1) and err.startswith(f"zel watch: {path}: {problem}")


def stream(n, scale):
    # n frames whose frame_ms and `loss` are scale * frame number; for n > 1 two scales
    # differ from the second frame on, and for one scale the shorter is a prefix.
    data = header([("frame_ms", "ms")]) + decl(1, "loss")
    return data + b"".join(frame([scale * i], [(1, scale * i)]) for i in range(n))


class Watch:
    # `zel watch live.zel` in a child, polling every 10 ms, its output lines gathered
    # from both streams as (stream, line).

    def __init__(self, cwd):
        args = [sys.executable, "-m", "zel", "watch", "live.zel", "--interval", ".01"]
        # Ctrl-C as a terminal sends it, even where this run inherited SIGINT ignored.
        default_sigint = lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)  # noqa: E731
        pipes = dict(text=True, stdout=-1, stderr=-1, preexec_fn=default_sigint)
        self.child = subprocess.Popen(args, env=child_env(), cwd=cwd, **pipes)
        self.lines, self.seen = queue.Queue(), []
        for name in ("out", "err"):
            pipe = getattr(self.child, f"std{name}")
            threading.Thread(target=self._gather, args=(name, pipe), daemon=True).start()

    def _gather(self, name, pipe):
        for line in pipe:
            self.lines.put((name, line.rstrip("\n")))

    def expect(self, want):  # waits for the line `want`, then returns every line so far
        deadline = time.monotonic() + 10
        while want not in self.seen:
            self.seen.append(self.lines.get(timeout=max(deadline - time.monotonic(), 0)))
        return self.seen

    def stop(self):
        self.child.send_signal(signal.SIGINT)
        self.child.wait(timeout=20)
        time.sleep(0.1)  # the gathering threads reach the end of both pipes
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        return self.child.returncode


def test_follow_waits_for_the_capture_and_starts_again_for_each_new_run(tmp_path):
    live, staged = tmp_path / "live.zel", tmp_path / "staged.zel"
    watch = Watch(tmp_path)
    replaced = ("err", "zel watch: live.zel was replaced by a new run; starting again")
    try:
        watch.expect(("err", "zel watch: waiting for live.zel to appear"))
        live.write_bytes(stream(5, 1.0))
        watch.expect(("out", "live.zel: 5 frames, 0 with flame data"))
        # Each step below changes only one of what tells a new run from a growing
        # capture: the first bytes (overwritten in place, the file only grows), the
        # inode (a longer file with the same first bytes renamed over it), the size (cut
        # back to a prefix of itself).
        with open(live, "r+b") as f:
            f.write(stream(8, 2.0))
        watch.expect(("out", "live.zel: 8 frames, 0 with flame data"))
        watch.expect(("out", "  #0 0 ms  #1 2 ms  #2 4 ms  #3 6 ms  #4 8 ms"))  # none of the old
        staged.write_bytes(stream(12, 2.0))
        os.replace(staged, live)
        watch.expect(("out", "live.zel: 12 frames, 0 with flame data"))
        with open(live, "r+b") as f:
            f.truncate(len(stream(4, 2.0)))
        watch.expect(("out", "live.zel: 4 frames, 0 with flame data"))
        watch.expect(("out", "  #0 0 ms  #1 2 ms  #2 4 ms  #3 6 ms"))  # numbered from 0 again
        # A real run recording to the path truncates the file and writes it again.
        run_python("import zel\nzel.enable()\nfor _ in range(3): zel.frame_mark()", ZEL_RECORD=live)
        watch.expect(("out", "live.zel: 3 frames, 0 with flame data"))
        live.unlink()  # gone a while, then back: a new file, and no second wait
        time.sleep(0.05)
        live.write_bytes(stream(2, 3.0))
        watch.expect(("out", "live.zel: 2 frames, 0 with flame data"))
    finally:
        assert watch.stop() == 0
    err = [line for stream, line in watch.seen if stream == "err"]
    assert err == ["zel watch: waiting for live.zel to appear", *[replaced[1]] * 5]


def test_once_keeps_clashing_names_apart_and_lists_a_bounded_number(tmp_path, capsys):
    # A user column named frame_ms shows as user.frame_ms, as zel.load shows it; with
    # hundreds of names the view lists the first ones and counts the rest.
    names = ["frame_ms"] + [f"step_{i}" for i in range(300)]
    data = header([("frame_ms", "ms")])
    data += b"".join(decl(1 + i, name) for i, name in enumerate(names))
    data += frame([5.0], [(1 + i, 100.0 + i) for i in range(len(names))])
    (path := tmp_path / "many.zel").write_bytes(data)
    assert main(["watch", str(path), "--once"]) == 0
    rows = [line.split() for line in capsys.readouterr().out.splitlines()]
    assert ["frame_ms", "5", "ms"] in rows and ["user.frame_ms", "100"] in rows
    assert rows[-1] == ["...", "and", f"{len(names) + 1 - MAX_ROWS}", "more", "columns"]
