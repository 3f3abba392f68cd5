# Run details: `zel record` leaves CAPTURE.meta.json beside its capture, in a git work
# tree or not, for a program that fails too; summary and the report show it, and one
# that cannot be read is one warning line and no failure.

import datetime
import json
import os
import platform
import shutil
import socket
import subprocess
import warnings

import pytest
from conftest import HOSTILE, run

import zel
from zel.cli import main
from zel.export.report import report_data

APP = "import sys, zel\nzel.frame_mark(); zel.frame_mark()\nif '--crash' in sys.argv: 1 / 0\n"


@pytest.mark.parametrize("in_git", [True, False])
def test_record_leaves_run_details_beside_its_capture(tmp_path, in_git):
    if in_git and shutil.which("git") is None:
        pytest.skip("no git")
    proj = tmp_path / "proj"
    proj.mkdir()
    (proj / "app.py").write_text(APP)
    env = dict(GIT_CEILING_DIRECTORIES=tmp_path, GIT_CONFIG_GLOBAL=os.devnull)
    git = ["git", "-c", "user.name=z", "-c", "user.email=z@z", "-C", proj]
    for args in (["init", "-q"], ["add", "app.py"], ["commit", "-qm", "app"]) if in_git else ():
        subprocess.run(git + args, check=True, capture_output=True, env={**os.environ, **env})
    head = in_git and subprocess.run(git + ["rev-parse", "HEAD"], capture_output=True, text=True)
    # in git: a clean tree, then one with an untracked file; outside: a program that fails
    runs = [("--fast", False), ("-x", True)] if in_git else [("--crash", None)]
    for k, (arg, dirty) in enumerate(runs):
        if dirty:
            (proj / "notes.txt").write_text("new")
        before = datetime.datetime.now().astimezone().replace(microsecond=0)
        r = run("-m", "zel", "record", "-o", tmp_path / f"r{k}-{{pid}}.zel", "app.py", arg,
                cwd=proj, **env)  # fmt: skip
        assert r.returncode == (1 if arg == "--crash" else 0), r.stderr
        (capture,) = tmp_path.glob(f"r{k}-*.zel")  # the pattern as the recorder expanded it
        assert len(zel.load(capture)) == 2
        details = json.loads(capture.with_name(capture.name + ".meta.json").read_text())
        start = datetime.datetime.fromisoformat(details.pop("start_time"))
        assert before <= start <= datetime.datetime.now().astimezone()
        assert details == {"argv": ["app.py", arg], "script": os.path.realpath(proj / "app.py"),
            "host": socket.gethostname(), "python_version": platform.python_version(),
            "zel_version": zel.__version__, "cwd": os.path.realpath(proj),
            **({"commit": head.stdout.strip(), "dirty": dirty} if in_git else {})}  # fmt: skip
    # a run details file that cannot be written is one warning line, not a failed run
    (tmp_path / "x.zel.meta.json").mkdir()
    r = run("-m", "zel", "record", "-o", tmp_path / "x.zel", "app.py", cwd=proj, **env)
    assert r.returncode == 0 and len(zel.load(tmp_path / "x.zel")) == 2
    assert r.stderr.startswith(f"zel record: warning: {tmp_path}/x.zel.meta.json: not written: ")
    assert r.stderr.count("\n") == 1, r.stderr


# fmt: off
ODD = {"argv": ["t.py", HOSTILE + "\n-v"], "host": "a\nb\x1b[2J", "python_version": "3.11",
       "start_time": "2026-12-07T10:15:02+00:00", "commit": "1a2b3c4d5e6f7a8b9", "dirty": True}
SHOWN = ["recorded 2026-12-07 10:15:02+00:00 on a\\nb\\x1b[2J, Python 3.11",
         f"command: python t.py '{HOSTILE}\\n-v'", "commit 1a2b3c4d5e6f (uncommitted changes)"]
CASES = [  # sidecar text (None: no file, "/": a directory), lines shown, warning
    (None, [], None), (json.dumps(ODD), SHOWN, None),
    ('{"argv": "t.py", "host": 7, "commit": [1], "cwd": ""}', [], None),  # wrong types
    ("{not json", [], "not JSON (Expecting property name"),
    ('{"start_time": NaN}', [], "not JSON (NaN is not a JSON number"),
    ("[1, 2]", [], "not a JSON object"), ("/", [], "Is a directory"),
]
# fmt: on


@pytest.mark.filterwarnings("always::zel.run_details.RunDetailsWarning")
@pytest.mark.parametrize("text, lines, warning", CASES)
def test_summary_and_report_show_run_details(recorded, tmp_path, capsys, text, lines, warning):
    capture, sidecar = tmp_path / "c.zel", tmp_path / "c.zel.meta.json"
    shutil.copy(recorded, capture)
    if text == "/":
        sidecar.mkdir()
    elif text is not None:
        sidecar.write_text(text)
    said = f"zel: warning: {sidecar}: run details left out: {warning}"
    for args in (["summary"], ["summary", "--json"]):
        assert main([*args, str(capture)]) == 0
        out, err = capsys.readouterr()
        assert err.startswith(said) and err.count("\n") == 1 if warning else not err, err
        if "--json" in args:
            assert json.loads(out)["run"] == (None if warning or not text else json.loads(text))
        else:
            assert out.splitlines()[1 : len(lines) + 2] == [*lines, ""]
    with warnings.catch_warnings(record=True) as caught:
        assert report_data(zel.load(capture))["run"] == (lines or None)
    assert [f"zel: warning: {w.message}\n" for w in caught] == ([err] if warning else [])
