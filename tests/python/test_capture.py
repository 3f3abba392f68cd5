"""Arming from the environment, the frame mark, flush and the exit hook, each in a
fresh child process: arming happens once per process."""

import os

import pytest

import _zel

from recording import THREADS, run_python
from streams import SYSTEM_COLUMNS

POISONED_ONCE = "Once instance has previously been poisoned"
SEND_ERROR = "called `Result::unwrap()` on an `Err` value: SendError { .. }"
POISONED_LOCK = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
RECV_ERROR = "called `Result::unwrap()` on an `Err` value: RecvError"


def test_without_zel_record_nothing_is_armed_even_when_it_is_set_later(tmp_path):
    out = run_python(
        THREADS,
        """
        import _zel
        _zel.enable()
        _zel.record_metric("a", 1.0)
        _zel.frame_mark()
        _zel.flush()
        os.environ["ZEL_RECORD"] = "late.zel"
        _zel.enable()
        _zel.frame_mark()
        _zel.flush()
        print(threads())
        """,
        cwd=tmp_path,
    )
    assert "zel-record" not in out.stdout and "zel-gpu" not in out.stdout
    assert os.listdir(tmp_path) == []


def test_enabling_twice_starts_one_writer_and_writes_one_header(tmp_path):
    out = run_python(
        THREADS,
        """
        import _zel
        try:
            _zel.enable(1)
        except TypeError:
            print(os.path.exists("c.zel") or "zel-record" in threads())
        _zel.enable()
        _zel.enable()
        _zel.frame_mark()
        _zel.flush()
        names = threads()
        # without a GPU sampler, zel-gpu ends at once
        print(names.count("zel-record"), names.count("zel-gpu") <= 1)
        r = _zel.Reader("c.zel")
        print(len(list(r)), r.columns == %r, r.flame_enabled, r.user_columns)
        """
        % (SYSTEM_COLUMNS,),
        cwd=tmp_path,
        ZEL_RECORD="c.zel",
    )
    assert out.stdout.split("\n")[:3] == ["False", "1 True", "1 True False []"]
    assert os.listdir(tmp_path) == ["c.zel"]


ENABLE_TWICE = """
    import _zel
    for _ in range(2):
        try:
            _zel.enable()
            print("armed")
        except BaseException as e:
            print(type(e).__name__, e.args[0], sep=": ")
    with _zel.Scope("still on"):  # scopes were switched on before arming failed
        pass
"""


@pytest.mark.parametrize(
    "env, message",
    [
        ({"ZEL_RECORD": "tcp://localhost:9000"}, "ZEL_RECORD tcp:// transport not yet implemented"),
        ({"ZEL_RECORD_EVERY": "abc"}, 'ZEL_RECORD_EVERY must be a positive integer, got "abc"'),
        ({"ZEL_RECORD_EVERY": "5 "}, 'ZEL_RECORD_EVERY must be a positive integer, got "5 "'),
        ({"ZEL_RECORD_EVERY": "\udcff1"}, 'ZEL_RECORD_EVERY must be a positive integer, got "\\xFF1"'),
        ({"ZEL_RECORD_EVERY": "0"}, "assertion failed: flame_every >= 1"),
        (
            {"ZEL_RECORD_EVERY": "0", "ZEL_RECORD_MAX_FRAMES": "-1"},
            'ZEL_RECORD_MAX_FRAMES must be a positive integer, got "-1"',
        ),
        (
            {"ZEL_RECORD_EVERY": "x", "ZEL_RECORD_MAX_FRAMES": "y"},
            'ZEL_RECORD_EVERY must be a positive integer, got "x"',
        ),
        ({"ZEL_RECORD_MAX_FRAMES": "18446744073709551616"}, "ZEL_RECORD_MAX_FRAMES must be a positive integer, got \"18446744073709551616\""),
    ],
)
def test_bad_configuration_fails_enable_and_poisons_arming(tmp_path, env, message):
    env.setdefault("ZEL_RECORD", "c.zel")
    out = run_python(ENABLE_TWICE, cwd=tmp_path, **env)
    assert out.stdout.splitlines() == [f"PanicException: {message}", f"PanicException: {POISONED_ONCE}"]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "env, flame_enabled, flames",
    [
        ({"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "+2"}, True, "X.X.X."),
        ({"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "003", "ZEL_RECORD_MAX_FRAMES": "1"}, True, "X....."),
        ({"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_MAX_FRAMES": "0"}, True, "......"),
        ({"ZEL_RECORD_FLAME": "true"}, False, "......"),
        ({"ZEL_RECORD_FLAME": " 1"}, False, "......"),
        ({"ZEL_RECORD_FLAME": ""}, False, "......"),
    ],
)
def test_flame_configuration(tmp_path, env, flame_enabled, flames):
    out = run_python(
        """
        import _zel
        _zel.enable()
        for _ in range(6):
            with _zel.Scope("s"):
                pass
            _zel.frame_mark()
        _zel.flush()
        r = _zel.Reader("c.zel")
        print(r.flame_enabled, "".join("." if f.flame is None else "X" for f in r))
        """,
        cwd=tmp_path,
        ZEL_RECORD="c.zel",
        **env,
    )
    assert out.stdout.split() == [str(flame_enabled), flames]


def test_uppercase_tcp_and_non_utf8_values_are_file_paths(tmp_path):
    (tmp_path / "TCP:").mkdir()
    run_python(
        "import _zel; _zel.enable(); _zel.frame_mark(); _zel.flush()",
        cwd=tmp_path,
        ZEL_RECORD="TCP://x\udcff.zel",
    )
    assert os.listdir(os.fsencode(tmp_path / "TCP:")) == [b"x\xff.zel"]


def test_a_capture_holds_every_frame_and_its_metrics_after_flush(tmp_path):
    out = run_python(
        """
        import _zel
        _zel.record_metric("early", 1.0)     # before enable: lands in the first frame
        _zel.enable()
        _zel.record_metric("b", 2.0)
        _zel.record_metric("a", 1.0)
        _zel.record_metric("a", 5.0)         # the last value of a frame wins
        _zel.record_metric_unit("a", "ms")
        _zel.frame_mark()
        _zel.record_metric_unit("b", "px")   # too late: b was declared without a unit
        _zel.record_metric("c", 3.0)
        _zel.frame_mark()
        for i in range(98):
            _zel.record_metric("i", i)
            _zel.frame_mark()
        _zel.flush()
        _zel.flush()                          # a second flush writes nothing new
        r = _zel.Reader("c.zel")
        frames = list(r)
        print(len(frames), r.user_columns)
        print(frames[0].system[0], frames[1].system[0] > 0, frames[0].user, frames[1].user)
        print(sum(1 for f in frames[2:] if f.user == {"i": frames.index(f) - 2.0}))
        """,
        cwd=tmp_path,
        ZEL_RECORD="c.zel",
    )
    lines = out.stdout.splitlines()
    assert lines[0] == "100 [('a', 'ms'), ('b', ''), ('early', ''), ('c', ''), ('i', '')]"
    assert lines[1] == "0.0 True {'a': 5.0, 'b': 2.0, 'early': 1.0} {'c': 3.0}"
    assert lines[2] == "98"


# Marks frames until two of them have failed, then flushes, and goes on with the rest
# of the API; prints the messages of the three failures.
MARK_UNTIL_FAILURE = """
    import time, zel
    zel.enable()
    messages = []
    deadline = time.monotonic() + 20
    while len(messages) < 2 and time.monotonic() < deadline:
        try:
            zel.frame_mark()
        except BaseException as e:
            messages.append(e.args[0])
    try:
        zel.flush()
    except BaseException as e:
        messages.append(e.args[0])
    zel.record_metric("still", 1.0)
    with zel.Scope("fine"):
        pass
    print("\\n".join(messages))
"""

# Permissions do not bind root: a root child gives them up before arming.
AS_NOBODY = """
    import os, time, zel
    if os.geteuid() == 0:
        os.setgid(65534)
        os.setuid(65534)
"""

ENOENT = "No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "path, before, diagnostic",
    [
        ("", "", f'create "": {ENOENT}'),
        ("missing/dir/c.zel", "", f'create "missing/dir/c.zel": {ENOENT}'),
        ("ro/c.zel", AS_NOBODY, 'create "ro/c.zel": Permission denied (os error 13)'),
        (
            "/dev/full",  # every write fails: the header's is the first
            "",
            'called `Result::unwrap()` on an `Err` value: Os { code: 28, kind: StorageFull, '
            'message: "No space left on device" }',
        ),
    ],
)
def test_a_writer_that_cannot_write_its_file_ends_alone(tmp_path, path, before, diagnostic):
    if path.startswith("ro/"):
        tmp_path.chmod(0o755)
        (tmp_path / "ro").mkdir(mode=0o555)
    out = run_python(before, MARK_UNTIL_FAILURE, cwd=tmp_path, ZEL_RECORD=path)
    assert out.stdout.splitlines() == [SEND_ERROR, POISONED_LOCK, POISONED_LOCK]
    assert out.stderr == f"thread 'zel-record' panicked: {diagnostic}\n"  # nothing from the exit hook
    assert out.returncode == 0


def test_a_directory_removed_right_after_enable(tmp_path):
    (tmp_path / "gone").mkdir()
    out = run_python(
        """
        import os
        import zel
        zel.enable()
        try:
            os.rmdir("gone")
        except OSError:  # the writer thread created its file first
            print("created first", flush=True)
            os._exit(0)
        """,
        MARK_UNTIL_FAILURE.replace("zel.enable()", ""),
        cwd=tmp_path,
        ZEL_RECORD="gone/c.zel",
    )
    if out.stdout.startswith("created first"):
        # Its open file would outlive the name: nothing would fail.
        pytest.skip("the writer thread created its file before the directory was removed")
    assert out.stdout.splitlines() == [SEND_ERROR, POISONED_LOCK, POISONED_LOCK]
    assert out.stderr == f"thread 'zel-record' panicked: create \"gone/c.zel\": {ENOENT}\n"


def test_a_disk_that_fills_up_keeps_what_was_flushed(tmp_path):
    """The file size limit stands in for a disk that fills mid-capture: the write that
    crosses it is cut short and the next fails with EFBIG."""
    out = run_python(
        """
        import resource, signal, zel
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (5000, resource.RLIM_INFINITY))
        zel.enable()
        flushed, messages = 0, []
        for i in range(10000):
            try:
                zel.record_metric("i", i)
                zel.frame_mark()
                if i % 7 == 6:
                    zel.flush()
                    flushed = i + 1
            except BaseException as e:
                messages.append(e.args[0])
                if len(messages) > 1 and "SendError" in messages[-2]:
                    break
        print(flushed)
        print("\\n".join(messages))
        """,
        cwd=tmp_path,
        ZEL_RECORD="c.zel",
    )
    flushed, *messages = out.stdout.splitlines()
    # A flush queued before the writer thread was gone fails on its answer; the first
    # send after fails, and every call after that.
    *flushes, send, after = messages
    assert set(flushes) <= {RECV_ERROR} and send == SEND_ERROR and after == POISONED_LOCK
    assert out.stderr == (
        "thread 'zel-record' panicked: called `Result::unwrap()` on an `Err` value: "
        'Os { code: 27, kind: FileTooLarge, message: "File too large" }\n'
    )
    assert os.path.getsize(tmp_path / "c.zel") == 5000
    values = [f.user["i"] for f in _zel.Reader(str(tmp_path / "c.zel"))]
    assert len(values) >= int(flushed) > 0
    assert values == list(range(len(values)))


def test_importing_zel_flushes_at_exit(tmp_path):
    run_python(
        """
        import zel
        zel.enable()
        for i in range(500):
            zel.record_metric("i", i)
            zel.frame_mark()
        """,
        cwd=tmp_path,
        ZEL_RECORD="c.zel",
    )
    out = run_python("import _zel; print([f.user['i'] for f in _zel.Reader('c.zel')] == list(range(500)))", cwd=tmp_path)
    assert out.stdout.strip() == "True"
