# The `zel` command line itself: outputs refused before any work (over an input, on a
# directory, where nothing can be written), one line on standard error and a fixed exit
# status for every failure, `zel record` running a script exactly as python does, and
# options that mean what they say.

import collections
import os
import random
import shutil
import time
from pathlib import Path

from conftest import PANIC, frame, header, run, run_python

import zel
from zel.cli import main
from zel.commands import summary_command


def unwritable_dir(tmp_path):
    # A directory that takes no new file: mode 0o555, or for root, whom permissions do
    # not bind, /sys. None where neither refuses.
    ro = tmp_path / "ro"
    ro.mkdir(mode=0o555)
    for d in (ro, Path("/sys")):
        try:
            open(d / "zel-probe", "x").close()
        except OSError:
            return d
        os.unlink(d / "zel-probe")
    return None


def one_line(status, err):
    assert err.count("\n") == 1 and "Traceback" not in err, err
    return status, err


# What each command line is refused with, before any work: exit status 2 and one line.
# F and R are captures (R with flame data), L a link to R, c.csv a capture with an
# export's name, app.py a script that leaves a mark when it runs, RO a directory that
# takes no file.
BEFORE_WORK = [
    ("report F -o F", "F: the output would overwrite the input F"),
    ("flame R -o ./R", "./R: the output would overwrite the input R"),
    ("flame R -o L --format speedscope", "L: the output would overwrite the input R"),
    ("export c.csv -o c.csv", "c.csv: the output would overwrite the input c.csv"),
    ("export F R -o R", "R: the output would overwrite the input R"),
    ("export F R -o app.py", "app.py: Not a directory"),
    ("record -o app.py -- app.py", "app.py: the output would overwrite the input app.py"),
    ("record -o notes.txt -- app.py", "notes.txt: exists and is not a capture; --force"),
    ("record -o dir -- app.py", "dir: Is a directory"),
    ("record -o nodir/x.zel -- app.py", "nodir/x.zel: no such directory"),
    ("report F -o dir", "dir: Is a directory"),
    ("record -o RO/x.zel -- app.py", "RO/x.zel: Permission denied"),
    ("report F -o RO/r.html", "RO/r.html: Permission denied"),
    ("export F -o RO/ds/", "RO/ds/: Permission denied"),
    ("export F R -o RO/ds", "RO/ds: Permission denied"),
    ("flame R -o RO/x.json", "RO/x.json: Permission denied"),
]


def test_outputs_are_refused_before_any_work(
    frames_capture, recorded, tmp_path, monkeypatch, capsys
):
    monkeypatch.chdir(tmp_path)
    shutil.copy(frames_capture, "F")
    shutil.copy(recorded, "R")
    shutil.copy(frames_capture, "c.csv")
    os.symlink("R", "L")
    Path("app.py").write_text("open('ran', 'w')\n")
    Path("notes.txt").write_text("notes")
    os.mkdir("dir")
    ro = unwritable_dir(tmp_path)
    before = {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
    for line, message in BEFORE_WORK:
        if "RO/" in line and ro is None:
            continue
        args = [a.replace("RO/", f"{ro}/") for a in line.split()]
        status, err = one_line(main(args), capsys.readouterr().err)
        assert status == 2 and err.startswith(f"zel {args[0]}: "), (line, err)
        assert message.replace("RO/", f"{ro}/") in err, (line, err)
    # Nothing written, nothing run, no temporary file left.
    assert {p: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before
    if ro:
        assert not [p for p in ro.iterdir() if "zel" in p.name]

    # --force overwrites a file that is not a capture; an empty file is taken anyway.
    Path("empty.zel").write_bytes(b"")
    for args in (["--force", "-o", "notes.txt"], ["-o", "empty.zel"]):
        r = run("-m", "zel", "record", *args, "--", "app.py", cwd=tmp_path)
        assert r.returncode == 0 and os.path.exists("ran"), r.stderr
        assert len(zel.load(args[-1])) == 0
        os.unlink("ran")


def failing(exc):
    def load_capture(path, **options):
        raise exc

    return load_capture


# Command lines that fail, the status and what their one line says. F is a capture.
FAILURES = [
    ("summary", 2, "zel summary: error: the following arguments are required: capture"),
    ("summary --slowest -3 F", 2, "argument --slowest: must be a whole number of at least 1"),
    ("report F -o r.html --slowest 0", 2, "argument --slowest: must be a whole number"),
    ("flame F -o x.json --count -1", 2, "argument --count: must be a whole number"),
    ("watch F --once --last 0", 2, "argument --last: must be a whole number"),
    ("watch F --once --interval 0", 2, "argument --interval: must be a number above 0"),
    ("watch F --interval nan", 2, "argument --interval: must be a number above 0"),
    ("record -o x.zel --max-frames 0 -- app.py", 2, "argument --max-frames: must be"),
    ("record -o x.zel", 2, "zel record: no program to run"),
    ("sumary F", 2, "zel: error: argument COMMAND: invalid choice: 'sumary'"),
    ("summary F --frobnicate", 2, "zel: error: unrecognized arguments: --frobnicate"),
    ("flame F -o x.json --format svg", 2, "argument --format: invalid choice: 'svg'"),
    ("watch --once notes.json", 1, "zel watch: notes.json: "),
    ("summary notes.json", 1, "zel summary: notes.json: not a capture"),
    ("report renamed.zel -o r.html", 1, "renamed.zel: damaged header: it names no frame_ms"),
    # Whatever escapes a command is one line too.
    (
        "summary F",
        1,
        "zel summary: /x/y: Permission denied",
        PermissionError(13, "Permission denied", "/x/y"),
    ),
    ("summary F", 1, "zel summary: disk on fire", OSError("disk on fire")),
    ("summary F", 1, "zel summary: corrupt .zel blob", PANIC("corrupt .zel blob\nat 12")),
    ("summary F", 1, "zel summary: bad value", ValueError("bad\nvalue")),
    ("summary F", 1, "zel summary: internal error: KeyError: 'frame_ms'", KeyError("frame_ms")),
]


def test_failures_are_one_line_with_their_exit_status(
    frames_capture, tmp_path, monkeypatch, capsys
):
    monkeypatch.chdir(tmp_path)
    Path("notes.json").write_text('{"frames": []}\n' * 4)
    Path("renamed.zel").write_bytes(header([("frame_mt", "ms")]) + frame([0.0]))
    for line, status, message, *exc in FAILURES:
        args = [str(frames_capture) if a == "F" else a for a in line.split()]
        with monkeypatch.context() as m:
            if exc:
                m.setattr(summary_command, "load_capture", failing(exc[0]))
            got, err = one_line(main(args), capsys.readouterr().err)
        assert (got, message in err) == (status, True), (line, err)
        if status == 2 and ": error: " in err:  # argparse's own: where help is
            assert err.endswith(f"(see {err.split(':')[0]} --help)\n"), err
    assert not os.path.exists("x.zel") and not os.path.exists("r.html")


# Scripts run by `python` and by `zel record`: what comes out must be the same, except
# that python ends by SIGINT where zel exits 130. The last figure: frames marked.
SCRIPTS = [
    ("import sys, zel\nzel.frame_mark()\nsys.exit('no GPU here')\n", [], 1),
    ("import sys, zel\nprint(sys.argv, __name__, __file__)\nsys.exit(5)\n", ["--lr", "3"], 0),
    (
        "import zel\ndef step(k):\n    return 1 / k\n"
        "for k in (2, 1, 0):\n    step(k)\n    zel.frame_mark()\n",
        [],
        2,
    ),
    (
        "import zel\ntry:\n    zel.frame_mark()\n    {}['x']\n"
        "except KeyError as e:\n    raise RuntimeError('no x') from e\n",
        [],
        1,
    ),
    ("import zel\nzel.frame_mark()\nraise KeyboardInterrupt\n", [], 1),
    ("x = = 1\n", [], 0),
    ("import sys\nprint('fine')\nsys.exit()\n", ["a b", "-m"], 0),
]


def test_record_runs_a_script_as_python_does(tmp_path):
    for k, (source, argv, frames) in enumerate(SCRIPTS):
        (tmp_path / "s.py").write_text(source)
        python = run("s.py", *argv, cwd=tmp_path)
        zel_run = run("-m", "zel", "record", "-o", f"{k}.zel", "--", "s.py", *argv, cwd=tmp_path)
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
        c = zel.load({str(recorded)!r})
        zel.report.write_report(c, {str(tmp_path / "r.html")!r})
        assert zel.stats.column_stats([1.0, 3.0])["mean"] == 2.0
        assert zel.export.report is zel.report
        """
    )
    assert (tmp_path / "r.html").stat().st_size > 1000
    r = run("-m", "zel", "record", "--help")
    usage = " ".join(r.stdout.split("\n\n")[0].split())
    assert usage.endswith("[--force] -- (script.py | -m module) [args ...]"), usage


def broken(rng, data):
    # `data` damaged at random: bytes flipped, cut short, or bytes put in.
    data, cut = bytearray(data), rng.randrange(len(data))
    kind = rng.choice(["flip", "cut", "insert"])
    if kind == "flip":
        for k in rng.sample(range(len(data)), rng.randint(1, 8)):
            data[k] ^= 1 << rng.randrange(8)
    elif kind == "cut":
        del data[cut:]
    else:
        data[cut:cut] = rng.randbytes(rng.randint(1, 64))
    return bytes(data)


def random_command(rng, capture, out):
    # One command line over `capture`, writing to `out` with its extension chosen here.
    fmt = rng.choice(["perfetto", "speedscope"])
    frames = rng.choice(["SLOWEST", "ALL", "-2:", "1:4", "3", "-1"])
    return rng.choice([
        ["summary", capture, *rng.choice([[], ["--json"], ["--slowest", "2"]])],
        ["export", capture, "-o", out + rng.choice([".csv", ".jsonl", ".parquet", "/"])],
        ["export", capture, capture, "-o", out],
        ["report", capture, "-o", out + ".html", "--slowest", "2"],
        ["flame", capture, "-o", out + ".json", "--format", fmt, "--frames", frames],
        ["watch", capture, "--once", "--last", "3"],
    ])  # fmt: skip


NOTES = ("zel: warning: ", "zel: note: ")


def test_random_command_lines_end_in_one_line_or_succeed(recorded, tmp_path, monkeypatch, capsys):
    # Every subcommand on captures broken at random, files that are not captures, missing
    # files and directories, and outputs nowhere to be written: a status of 0, 1 or 2, a
    # failure in one line, and nothing left in the output directory by a failure.
    rng, real = random.Random(16), recorded.read_bytes()
    monkeypatch.chdir(tmp_path)
    Path("out").mkdir()
    Path("notes.json").write_text('{"frames": [1, 2]}\n')
    ro = unwritable_dir(tmp_path)
    deadline, seen, k = time.monotonic() + 10, collections.Counter(), 0
    while time.monotonic() < deadline or k < 60:
        k += 1
        capture = rng.choice(["c.zel"] * 6 + ["real.zel", "notes.json", "missing.zel", "out"])
        Path("c.zel").write_bytes(broken(rng, real))
        Path("real.zel").write_bytes(real)
        where = rng.choice(["out"] * 6 + ["nodir", str(ro or "out"), ""])
        out = f"{where}/o{k}" if where else capture
        args = random_command(rng, capture, out)
        status, err = main(args), capsys.readouterr().err
        seen[args[0], status] += 1
        assert status in (0, 1, 2) and "Traceback" not in err, (args, err)
        assert "internal error" not in err, (args, err)
        # What the loader notes about a damaged capture may come before the failure.
        lines = [line for line in err.splitlines() if not line.startswith(NOTES)]
        if status:
            assert len(lines) == 1 and lines[0].startswith(f"zel {args[0]}: "), (args, err)
            assert not [p.name for p in Path("out").iterdir() if f"o{k}" in p.name], args
        assert not [p.name for p in Path("out").rglob("*.tmp*")], args
        assert Path("real.zel").read_bytes() == real
    # The walk met failures and successes of every reader.
    for command in ("summary", "export", "report", "flame", "watch"):
        assert {s for c, s in seen if c == command} >= {0, 1}, seen

    # zel record, in a process of its own: a program that ends well or says why it
    # stops, an absent module, and outputs that are not to be written.
    Path("app.py").write_text("import sys, zel\nzel.frame_mark()\nsys.exit(*sys.argv[1:2])\n")
    outs = ["out/r.zel", "c.zel", "notes.json", "out", "nodir/r.zel", f"{ro or 'out'}/r.zel"]
    for _ in range(8):
        out, before = rng.choice(outs), sorted(Path("out").iterdir())
        tail = rng.choice([["app.py"], ["app.py", "stopped"], ["-m", "absent"], ["app.py"]])
        r = run("-m", "zel", "record", "-o", out, "--max-frames", "1", "--", *tail, cwd=tmp_path)
        seen["record", r.returncode] += 1
        assert r.returncode in (0, 1, 2) and "Traceback" not in r.stderr, (out, tail, r.stderr)
        assert r.stderr.count("\n") == (r.returncode != 0), (out, tail, r.stderr)
        if r.returncode == 2:
            assert (
                sorted(Path("out").iterdir()) == before
                and "ZEL1" not in Path("notes.json").read_text()
            )
