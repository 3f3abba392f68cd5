# The `zel` command: `zel export` read back, `zel record`, and one-line
# errors for every refusal. The test command also runs these under CPythons without
# NumPy, where the same exact figures must come out.

import os

from conftest import frame, header, run

import zel
from zel.cli import main

try:
    import pyarrow.parquet as pq
except ImportError:
    pq = None  # the other CPythons of the test run have no pyarrow


def test_record_runs_a_script_or_module_with_recording_armed(tmp_path):
    app = "import sys, zel\nfor i in range(int(sys.argv[1])):\n    with zel.Scope('work'):\n"
    app += "        zel.record_metric('i', i)\n    zel.frame_mark()\nsys.exit(3)\n"
    (tmp_path / "app.py").write_text(app)
    for args, n, flames in [
        (["--flame", "--every", "2", "--", "app.py", "7"], 7, [0, 2, 4, 6]),
        (["--max-flame-frames", "1", "--flame", "--", "-m", "app", "3"], 3, [0]),
        (["--max-frames", "2", "--every", "2", "--", "app.py", "7"], 2, [0]),
    ]:
        r = run("-m", "zel", "record", "-o", "s.zel", *args, cwd=tmp_path)
        assert r.returncode == 3, r.stderr
        c = zel.load(tmp_path / "s.zel")
        assert list(c.columns["i"]) == list(range(n)) and sorted(c.flame) == flames


# Command lines, where F is a capture without flame data and R one with; what the one
# line on standard error says; the exit status (2: refused before any work).
REFUSALS = [
    ("record -o x.zel -- -m absent_module", "absent_module: no such module", 2),
    ("record -o x.zel -- absent.py", "absent.py: no such script", 2),
    ("record -o x.zel --every 0 -- app.py", "--every: must be a whole number of at least 1", 2),
    ("export F -o out.txt", "out.txt: unknown format .txt; use one of .csv, .jsonl, .parquet", 2),
    ("export F -o nodir/out.csv", "nodir/out.csv: no such directory: {}/nodir", 2),
    ("flame R -o x.json --frames 5-7", "bad --frames '5-7'", 1),
    ("flame R -o x.json --frames 1:2", "no frame in 1:2 carries flame data", 1),
    ("flame R -o x.json --count 0", "--count: must be a whole number of at least 1, not '0'", 2),
    ("flame F -o x.json", "recorded without flame frames", 1),
    ("flame R -o taken", "taken: Is a directory", 2),
    ("export F -o taken.csv/", "taken.csv/: Not a directory", 2),  # a dataset where a file is
]


READERS = ["summary {} --json", "export {} -o o.csv", "report {} -o o.html", "flame {} -o o.json"]
READERS += ["summary {} --json --strict", READERS[1]]  # damage: refused only if strict


def test_refusals_are_one_line(frames_capture, recorded, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "taken.csv").write_text("kept")
    (tmp_path / "taken").mkdir()
    # Files that are not captures, refused by every command that reads one; watch shows
    # a file too short for a header as a capture with no frame yet.
    h, f = header([("frame_ms", "ms")]), frame([0.0])  # f[4:8]: its body's length
    refusals = list(REFUSALS)
    # (each by one command in turn: every command goes through the same loader)
    for command, (name, data, problem, watched) in zip(READERS, [
        ("missing.zel", None, "No such file or directory", "no such file"),
        ("empty.zel", b"", "not a capture: the file is empty", None),
        ("short.zel", h[:9], "not a capture: the file ends inside the header", None),
        ("text.zel", b"hello, world\n" * 4, "not a capture: it does not start with the .zel magic",
         "not a capture: it does not start with the .zel magic"),
        ("damaged.zel", h + f[:4] + b"\xff\xff\0\0" + f[8:],
         "damaged at byte 23: corrupt .zel blob",
         "damaged: corrupt .zel blob"),
        ("v3.zel", header([], version=3), "unsupported .zel version: 3, expected 2", None),
    ]):  # fmt: skip
        if data is not None:
            (tmp_path / name).write_bytes(data)
        refusals += [(command.format(name), f"{name}: {problem}", 1)]
        refusals += [(f"watch {name} --once", f"{name}: {watched}", 1)] * bool(watched)
    files = sorted(os.listdir())
    for line, message, want in refusals:
        args = [{"F": str(frames_capture), "R": str(recorded)}.get(a, a) for a in line.split()]
        if args[0] == "record":
            r = run("-m", "zel", *args, cwd=tmp_path)
            status, out, err = r.returncode, r.stdout, r.stderr
        else:
            status, (out, err) = main(args), capsys.readouterr()
        assert (status, out, err.count("\n")) == (want, "", 1), (line, err)
        assert err.startswith(f"zel {args[0]}: ")
        assert message.format(tmp_path) in err, err
        assert sorted(os.listdir()) == files  # no output, no temporary file
