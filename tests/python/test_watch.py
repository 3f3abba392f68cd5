# `zel watch`: its snapshots of a capture cut anywhere, how it shows values, its one-line
# refusals, and how it follows a path that a run has yet to create, writes anew or
# replaces with another file.

import math
import os
import time
from types import SimpleNamespace

from conftest import decl, frame, header, run_python

import _zel
from zel.cli import main
from zel.commands import watch_command
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
    # (a missing file, text and a damaged frame: test_commands.py)
    (tmp_path / "dir.zel").mkdir()
    (tmp_path / "short.json").write_bytes(b"{}\n")  # too short for a header, yet no capture
    (tmp_path / "v3.zel").write_bytes(header([], version=3))
    for name, problem in [
        ("dir.zel", "Is a directory"),
        ("short.json", "not a capture: it does not start with the .zel magic"),
        ("v3.zel", "unsupported .zel version: 3, expected 2"),
    ]:
        path = str(tmp_path / name)
        assert main(["watch", path, "--once"]) == 1
        out, err = capsys.readouterr()
        assert (out, err.count("\n")) == ("", 1) and err.startswith(f"zel watch: {path}: {problem}")


def stream(n, scale):
    # n frames whose frame_ms and `loss` are scale * frame number; for n > 1 two scales
    # differ from the second frame on, and for one scale the shorter is a prefix.
    data = header([("frame_ms", "ms")]) + decl(1, "loss")
    return data + b"".join(frame([scale * i], [(1, scale * i)]) for i in range(n))


def test_follow_waits_and_starts_again_for_each_new_run(tmp_path, monkeypatch, capsys):
    # `zel watch live.zel`, where each pause between two looks takes the next step below
    # and the last is Ctrl-C. Each step changes only one of what tells a new run from a
    # growing capture: the first bytes (written anew, the same inode, the file only
    # grows), the inode (a longer file with the same first bytes renamed over it), the
    # size (cut back to a prefix of itself); then a real run recording to the path, and
    # the file gone a while, then back.
    monkeypatch.chdir(tmp_path)
    live, staged = tmp_path / "live.zel", tmp_path / "staged.zel"
    record = "import zel\nzel.enable()\nfor _ in range(3): zel.frame_mark()"
    steps = [
        lambda: live.write_bytes(stream(5, 1.0)),
        lambda: live.write_bytes(stream(8, 2.0)),
        lambda: (staged.write_bytes(stream(12, 2.0)), os.replace(staged, live)),
        lambda: os.truncate(live, len(stream(4, 2.0))),
        lambda: run_python(record, ZEL_RECORD=live),
        live.unlink,
        lambda: live.write_bytes(stream(2, 3.0)),
    ]
    looks = []  # what each look printed: (standard output, standard error)

    def pause(seconds):
        looks.append(capsys.readouterr())
        if len(looks) > len(steps):
            raise KeyboardInterrupt
        steps[len(looks) - 1]()

    fake = SimpleNamespace(sleep=pause, monotonic=time.monotonic)  # time as watch sees it
    monkeypatch.setattr(watch_command, "time", fake)
    assert main(["watch", "live.zel"]) == 0
    # the frames each look shows and what it says; a gone file is not waited for again
    wait = "zel watch: waiting for live.zel to appear\n"
    new = "zel watch: live.zel was replaced by a new run; starting again\n"
    got = [(out and int(out.split()[1]), err) for out, err in looks]
    assert got == [("", wait), (5, ""), (8, new), (12, new), (4, new), (3, new), ("", ""), (2, new)]
    assert "\n  #0 0 ms  #1 2 ms  #2 4 ms  #3 6 ms  #4 8 ms\n" in looks[2][0]  # none of the old
    assert "\n  #0 0 ms  #1 2 ms  #2 4 ms  #3 6 ms\n" in looks[4][0]  # numbered from 0 again


def test_once_keeps_clashing_names_apart_and_lists_a_bounded_number(tmp_path, capsys):
    # A user column named frame_ms shows as user.frame_ms, as zel.load shows it; with
    # hundreds of names the view lists the first ones and counts the rest.
    names = ["frame_ms"] + [f"step_{i}" for i in range(300)]
    data = header([("frame_ms", "ms")]) + b"".join(decl(1 + i, n) for i, n in enumerate(names))
    data += frame([5.0], [(1 + i, 100.0 + i) for i in range(len(names))])
    (path := tmp_path / "many.zel").write_bytes(data)
    assert main(["watch", str(path), "--once"]) == 0
    rows = [line.split() for line in capsys.readouterr().out.splitlines()]
    assert ["frame_ms", "5", "ms"] in rows and ["user.frame_ms", "100"] in rows
    assert rows[-1] == ["...", "and", f"{len(names) + 1 - MAX_ROWS}", "more", "columns"]
