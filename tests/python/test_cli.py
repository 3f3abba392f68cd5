# The `zel` command line itself: outputs refused before any work, one line on standard
# error and a fixed exit status for every failure, `zel record` running a script as
# python does, options that mean what they say, and a seeded random walk over the
# subcommands that read a capture, with broken captures and outputs nowhere to be written.

import collections
import os
import random
import shutil
import time
from pathlib import Path
from unittest import mock

from conftest import PANIC, frame, header, run, run_python

import zel
from zel.cli import main
from zel.commands import summary_command

NOTES = ("zel: warning: ", "zel: note: ")  # the loader's lines about a damaged capture


def unwritable_dir(tmp_path):
    # A directory that takes no new file: mode 0o555, or for root, whom modes do not
    # bind, /sys. None where neither refuses.
    (tmp_path / "ro").mkdir(mode=0o555)
    for d in (tmp_path / "ro", Path("/sys")):
        try:
            (d / "zel-probe").touch(exist_ok=False)
        except OSError:
            return d
        (d / "zel-probe").unlink()
    return None


# Command lines, their exit status and what their one line on standard error says. F
# and R are captures (R with flame data), L a link to R, c.csv a capture with an
# export's name, app.py a script that leaves a mark when it runs, RO a directory that
# takes no file; an exception is what loading the capture raises instead.
FAILURES = [
    ("report F -o F", 2, "F: the output would overwrite the input F"),
    ("flame R -o L --format speedscope", 2, "L: the output would overwrite the input R"),
    ("export c.csv -o c.csv", 2, "c.csv: the output would overwrite the input c.csv"),
    ("export F R -o app.py", 2, "app.py: Not a directory"),
    ("record -o app.py -- app.py", 2, "app.py: the output would overwrite the input app.py"),
    ("record -o notes.txt -- app.py", 2, "notes.txt: exists and is not a capture; --force"),
    ("record -o RO/x.zel -- app.py", 2, "RO/x.zel: Permission denied"),
    ("export F -o RO/ds/", 2, "RO/ds/: Permission denied"),
    ("record -o x.zel", 2, "zel record: no program to run"),
    ("summary", 2, "the following arguments are required: capture (see zel summary --help)"),
    ("watch F --interval nan", 2, "argument --interval: must be a number above 0"),
    ("report renamed.zel -o r.html", 1, "renamed.zel: damaged header: it names no frame_ms"),
    ("summary F", 1, "zel summary: /x: Permission denied", OSError(13, os.strerror(13), "/x")),
    ("summary F", 1, "zel summary: disk on fire", OSError("disk on fire")),
    ("summary F", 1, "zel summary: corrupt .zel blob", PANIC("corrupt .zel blob\nat 12")),
    ("summary F", 1, "zel summary: bad value", ValueError("bad\nvalue")),
    ("summary F", 1, "zel summary: internal error: KeyError: 'frame_ms'", KeyError("frame_ms")),
]


def test_failures_are_one_line_with_their_exit_status(
    frames_capture, recorded, tmp_path, monkeypatch, capsys
):
    monkeypatch.chdir(tmp_path)
    for source, copy in [(frames_capture, "F"), (recorded, "R"), (frames_capture, "c.csv")]:
        shutil.copy(source, copy)
    os.symlink("R", "L")
    Path("app.py").write_text("open('ran', 'w')\n")
    Path("notes.txt").write_text("notes")
    Path("renamed.zel").write_bytes(header([("frame_mt", "ms")]) + frame([0.0]))
    ro = unwritable_dir(tmp_path)
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    for line, status, message, *exc in FAILURES:
        if "RO/" in line and ro is None:
            continue
        args, message = line.replace("RO/", f"{ro}/").split(), message.replace("RO/", f"{ro}/")
        with monkeypatch.context() as m:
            if exc:
                m.setattr(summary_command, "load_capture", mock.Mock(side_effect=exc[0]))
            got, err = main(args), capsys.readouterr().err
        assert (got, err.count("\n"), message in err) == (status, 1, True), (line, err)
    # Nothing written, nothing run, no temporary file left.
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before


# Scripts run by `python` and by `zel record`: what comes out must be the same, except
# that python ends by SIGINT where zel exits 130. The last figure: frames marked. The
# first output is an empty file, taken as it is; the second one that is not a capture,
# taken with --force.
SCRIPTS = [
    ("import sys, zel\nzel.frame_mark()\nsys.exit('no GPU here')\n", [], 1),
    ("import sys\nprint(sys.argv, __name__, __file__)\nsys.exit(5)\n", ["--lr", "3", "-m"], 0),
    ("import zel\nfor k in (2, 1, 0):\n    1 / k\n    zel.frame_mark()\n", [], 2),
    ("try:\n    {}['x']\nexcept KeyError as e:\n    raise RuntimeError('no x') from e\n", [], 0),
    ("import zel\nzel.frame_mark()\nraise KeyboardInterrupt\n", [], 1),
    ("x = = 1\n", [], 0),
]


def test_record_runs_a_script_as_python_does(tmp_path):
    (tmp_path / "0.zel").write_bytes(b"")
    (tmp_path / "1.zel").write_text("notes")
    for k, (source, argv, frames) in enumerate(SCRIPTS):
        (tmp_path / "s.py").write_text(source)
        python = run("s.py", *argv, cwd=tmp_path)
        opts = ["-o", f"{k}.zel"] + ["--force"] * (k == 1)
        zel_run = run("-m", "zel", "record", *opts, "--", "s.py", *argv, cwd=tmp_path)
        status = 130 if python.returncode == -2 else python.returncode
        want = (status, python.stdout, python.stderr)
        assert (zel_run.returncode, zel_run.stdout, zel_run.stderr) == want, source
        assert len(zel.load(tmp_path / f"{k}.zel")) == frames, source  # flushed however it ends


def test_options_mean_what_they_say(recorded, tmp_path, capsys):
    # A negative --frames counts from the end (of six frames), not an option.
    flame = ["flame", str(recorded), "-o", str(tmp_path / "x.json"), "--frames"]
    for negative, positive in (["-2:", "4:6"], ["-3:-1", "3:5"]):
        assert main([*flame, negative]) == 0 == main([*flame, positive])
        said = capsys.readouterr().out.splitlines()
        assert said[0] == said[1], said
    assert main(["--version"]) == 0
    assert capsys.readouterr().out == f"zel {zel.__version__}\n" != "zel \n"
    # The README's Python calls after a plain `import zel`, which loads no exporter.
    run_python(
        f"""
        import sys, zel
        assert not [m for m in sys.modules if m.startswith(("zel.export", "pandas"))]
        zel.report.write_report(zel.load({str(recorded)!r}), {str(tmp_path / "r.html")!r})
        assert zel.stats.column_stats([1.0, 3.0])["mean"] == 2.0
        assert zel.export.report is zel.report
        """
    )
    assert (tmp_path / "r.html").stat().st_size > 1000


def broken(rng, data):
    # `data` damaged at random: bytes flipped, cut short, or bytes put in.
    data, at, kind = bytearray(data), rng.randrange(len(data)), rng.randrange(3)
    if kind == 0:
        for k in rng.sample(range(len(data)), rng.randint(1, 8)):
            data[k] ^= 1 << rng.randrange(8)
    elif kind == 1:
        del data[at:]
    else:
        data[at:at] = rng.randbytes(rng.randint(1, 64))
    return bytes(data)


def random_command(rng, capture, out):
    # One command line over `capture`, writing to `out` with its extension chosen here.
    fmt = rng.choice(["perfetto", "speedscope"])
    frames = rng.choice(["SLOWEST", "ALL", "-2:", "1:4", "3", "-1"])
    return rng.choice([
        ["summary", capture, *rng.choice([[], ["--json"], ["--slowest", "2"], ["--slow", "p50"]])],
        ["compare", rng.choice(["real.zel", capture]), capture, "--replicates", "20",
         "--junit", out + ".xml", "--fail-if", "p99_ms>+1000%"],
        ["export", capture, "-o", out + rng.choice([".csv", ".jsonl", ".parquet", "/"])],
        ["export", capture, capture, "-o", out],
        ["report", capture, "-o", out + ".html", "--slowest", "2"],
        ["flame", capture, "-o", out + ".json", "--format", fmt, "--frames", frames],
        ["watch", capture, "--once", "--last", "3"],
        ["scopes", capture, "--frames", frames, *rng.choice([[], ["--json"], ["--csv"]])],
        ["flame", capture, "-o", out + ".folded", "--merge", "--frames", frames],
    ])  # fmt: skip


def test_random_command_lines_end_in_one_line_or_succeed(recorded, tmp_path, monkeypatch, capsys):
    # Every subcommand on the capture broken at random, files that are not captures,
    # missing files and directories, and outputs nowhere to be written (or over the
    # input): a status of 0, 1 or 2, a failure in one line and no file left behind.
    rng, real = random.Random(16), recorded.read_bytes()
    monkeypatch.chdir(tmp_path)
    Path("out").mkdir()
    Path("notes.json").write_text('{"frames": [1, 2]}\n')
    Path("real.zel").write_bytes(real)
    ro = unwritable_dir(tmp_path)
    deadline, seen, k = time.monotonic() + 10, collections.Counter(), 0
    while time.monotonic() < deadline or k < 60:
        k += 1
        capture = rng.choice(["c.zel"] * 6 + ["real.zel", "notes.json", "missing.zel", "out"])
        Path("c.zel").write_bytes(broken(rng, real))
        where = rng.choice(["out"] * 6 + ["nodir", str(ro or "out"), ""])
        args = random_command(rng, capture, f"{where}/o{k}" if where else capture)
        status, err = main(args), capsys.readouterr().err
        seen[args[0], status] += 1
        # 3: a compare bound failed, which a broken capture's frame times may well do
        gate = args[0] == "compare" and status == 3
        assert (status in (0, 1, 2) or gate) and "internal error" not in err, (args, err)
        lines = [line for line in err.splitlines() if not line.startswith(NOTES)]
        if status and not gate:
            assert len(lines) == 1 and lines[0].startswith(f"zel {args[0]}: "), (args, err)
            assert not [p.name for p in Path("out").iterdir() if f"o{k}" in p.name], args
        assert not list(Path("out").rglob("*.tmp*")) and Path("real.zel").read_bytes() == real

    # The walk met failures and successes of every command.
    commands = ("summary", "export", "report", "flame", "watch", "compare", "scopes")
    want = {(c, s) for c in commands for s in (0, 1)}
    assert want <= seen.keys(), seen
