"""Arming from the environment, the frame mark, metrics, flush, the exit hook and a
writer that cannot write, each in a child process: arming happens once per process."""

import os

import pytest
from recording import run_python

import _zel
from zel import flame

THREADS = "import os\nthreads = lambda: sorted(open(f'/proc/self/task/{t}/comm').read().strip()"
THREADS += " for t in os.listdir('/proc/self/task'))\n"
POISONED_ONCE = "Once instance has previously been poisoned"
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
SEND_ERROR, POISONED_LOCK = UNWRAP + "SendError { .. }", UNWRAP + "PoisonError { .. }"


def test_without_zel_record_nothing_is_armed_even_when_it_is_set_later(tmp_path):
    code = "import _zel\n_zel.enable()\n_zel.frame_mark()\nos.environ['ZEL_RECORD'] = 'late.zel'\n"
    out = run_python(
        THREADS,
        code,
        "_zel.enable()\n_zel.frame_mark()\n_zel.flush()\nprint(threads())",
        cwd=tmp_path,
    )
    assert (
        "zel-record" not in out.stdout
        and "zel-gpu" not in out.stdout
        and os.listdir(tmp_path) == []
    )


def test_arming_once_every_frame_its_metrics_and_the_exit_hook(tmp_path):
    code = """
        import _zel, zel
        try:
            _zel.enable(1)
        except TypeError:
            print(os.path.exists("c.zel") or "zel-record" in threads())
        _zel.record_metric("early", 1.0)     # before enable: lands in the first frame
        _zel.enable()
        _zel.enable()
        _zel.record_metric("b", 2.0)
        _zel.record_metric("a", 1.0)
        _zel.record_metric("a", 5.0)         # the last value of a frame wins
        _zel.record_metric_unit("a", "ms")
        _zel.frame_mark()
        _zel.record_metric_unit("b", "px")   # too late: b was declared without a unit
        _zel.record_metric("c", 3.0)
        _zel.frame_mark()
        _zel.flush()
        _zel.flush()                          # a second flush writes nothing new
        names = threads()
        print(names.count("zel-record"), names.count("zel-gpu") <= 1)  # zel-gpu ends without a GPU
        for i in range(65530):  # 65,528 user column ids; a frame declares in sorted order
            _zel.record_metric(f"m{i}", i)
        _zel.frame_mark()
        for name, value in (("m0", -1.0), ("m9999", -2.0), ("late", -3.0)):
            _zel.record_metric(name, value)
        _zel.frame_mark()
        for i in range(500):
            _zel.record_metric("c", i)  # declared before the ids ran out
            _zel.frame_mark()                 # no flush: the exit hook of zel does it
    """
    out = run_python(THREADS, code, cwd=tmp_path, ZEL_RECORD="c.zel")
    assert out.stdout.splitlines() == ["False", "1 True"] and os.listdir(tmp_path) == ["c.zel"]
    r = _zel.Reader(str(tmp_path / "c.zel"))
    frames = list(r)
    # ids 8..65535 for user columns, 4 taken: names sorted after the 65,524th are dropped
    kept = sorted(f"m{i}" for i in range(65530))[: 65536 - 8 - 4]
    assert r.user_columns == [("a", "ms"), ("b", ""), ("early", ""), ("c", "")] + [
        (m, "") for m in kept
    ]
    assert not r.flame_enabled and all(f.flame is None for f in frames)
    assert frames[0].system[0] == 0.0 and all(f.system[0] > 0 for f in frames[1:])
    assert [f.user for f in frames[:2]] == [{"a": 5.0, "b": 2.0, "early": 1.0}, {"c": 3.0}]
    assert frames[2].user == {m: float(m[1:]) for m in kept} and frames[3].user == {"m0": -1.0}
    assert [f.user for f in frames[4:]] == [{"c": float(i)} for i in range(500)]


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
NOT_POSITIVE = 'ZEL_RECORD_{} must be a positive integer, got "{}"'


@pytest.mark.parametrize(
    "env, message",
    [
        ({"ZEL_RECORD": "tcp://localhost:9000"}, "ZEL_RECORD tcp:// transport not yet implemented"),
        ({"ZEL_RECORD_EVERY": "abc"}, NOT_POSITIVE.format("EVERY", "abc")),
        ({"ZEL_RECORD_EVERY": "5 "}, NOT_POSITIVE.format("EVERY", "5 ")),
        ({"ZEL_RECORD_EVERY": "\udcff1"}, NOT_POSITIVE.format("EVERY", "\\xFF1")),
        ({"ZEL_RECORD_EVERY": "0"}, "assertion failed: flame_every >= 1"),
        (
            {"ZEL_RECORD_EVERY": "0", "ZEL_RECORD_MAX_FRAMES": "-1"},
            NOT_POSITIVE.format("MAX_FRAMES", "-1"),
        ),
        (
            {"ZEL_RECORD_EVERY": "x", "ZEL_RECORD_MAX_FRAMES": "y"},
            NOT_POSITIVE.format("EVERY", "x"),
        ),
        ({"ZEL_RECORD_MAX_FRAMES": str(2**64)}, NOT_POSITIVE.format("MAX_FRAMES", 2**64)),
    ],
)
def test_bad_configuration_fails_enable_and_poisons_arming(tmp_path, env, message):
    out = run_python(ENABLE_TWICE, cwd=tmp_path, **{"ZEL_RECORD": "c.zel", **env})
    assert out.stdout.splitlines() == [
        f"PanicException: {message}",
        f"PanicException: {POISONED_ONCE}",
    ]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "env, flames",
    [
        ({"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "+2"}, "X.X.X.X"),
        (
            {"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "003", "ZEL_RECORD_MAX_FRAMES": "2"},
            "X..X...",
        ),
        ({"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_MAX_FRAMES": "1"}, "X......"),
        ({"ZEL_RECORD_FLAME": "1", "ZEL_RECORD_MAX_FRAMES": "0"}, "......."),
        ({"ZEL_RECORD_FLAME": "true"}, None),
        ({"ZEL_RECORD_FLAME": " 1"}, None),
        ({"ZEL_RECORD_FLAME": ""}, None),
        ({"ZEL_RECORD": "TCP://x\udcff.zel"}, None),  # a file path, not a transport
    ],
)
def test_flame_frames_every_nth_frame_up_to_the_maximum(tmp_path, env, flames):
    (tmp_path / "TCP:").mkdir()
    code = "import _zel\n_zel.enable()\nfor k in range(7):\n    with _zel.Scope(f's{k}'):\n"
    code += "        pass\n    _zel.frame_mark()\n_zel.flush()\n"
    run_python(code, cwd=tmp_path, **{"ZEL_RECORD": "c.zel", **env})
    if "ZEL_RECORD" in env:  # the file is there under its name, bytes as given
        os.rename(os.fsencode(tmp_path) + b"/TCP:/x\xff.zel", tmp_path / "c.zel")
    r = _zel.Reader(str(tmp_path / "c.zel"))
    frames = list(r)
    assert r.flame_enabled == (flames is not None) and len(frames) == 7
    assert "".join("." if f.flame is None else "X" for f in frames) == (flames or ".......")
    for k, f in enumerate(frames):
        if f.flame is not None:  # each flame frame holds its own frame's scope
            (thread,) = flame.decode(f.flame).threads
            assert [s.name for s in thread.scopes] == [f"s{k}"]


# Marks frames until two of them have failed, then flushes, and goes on with the rest
# of the API; prints the messages of the three failures.
MARK_UNTIL_FAILURE = """
    import os, time, zel
    if os.environ.get("AS_NOBODY") and os.geteuid() == 0:  # permissions do not bind root
        os.setgid(65534)
        os.setuid(65534)
    zel.enable()
    messages, deadline = [], time.monotonic() + 20
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
ENOENT = "No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "path, diagnostic",
    [
        ("", f'create "": {ENOENT}'),
        ("missing/dir/c.zel", f'create "missing/dir/c.zel": {ENOENT}'),
        ("ro/c.zel", 'create "ro/c.zel": Permission denied (os error 13)'),
        # every write fails: the header's is the first
        (
            "/dev/full",
            UNWRAP + 'Os { code: 28, kind: StorageFull, message: "No space left on device" }',
        ),
    ],
)
def test_a_writer_that_cannot_write_its_file_ends_alone(tmp_path, path, diagnostic):
    tmp_path.chmod(0o755)
    (tmp_path / "ro").mkdir(mode=0o555)
    out = run_python(
        MARK_UNTIL_FAILURE, cwd=tmp_path, ZEL_RECORD=path, AS_NOBODY="1"[: path[:3] == "ro/"]
    )
    assert out.stdout.splitlines() == [SEND_ERROR, POISONED_LOCK, POISONED_LOCK]
    assert (
        out.stderr == f"thread 'zel-record' panicked: {diagnostic}\n"
    )  # nothing from the exit hook
    assert out.returncode == 0


def test_a_disk_that_fills_up_keeps_what_was_flushed(tmp_path):
    # The file size limit stands in for a disk that fills mid-capture: the write that
    # crosses it is cut short and the next fails with EFBIG.
    code = """
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
    """
    out = run_python(code, cwd=tmp_path, ZEL_RECORD="c.zel")
    flushed, *messages = out.stdout.splitlines()
    # A flush queued before the writer thread was gone fails on its answer; the first
    # send after fails, and every call after that.
    *flushes, send, after = messages
    assert set(flushes) <= {UNWRAP + "RecvError"} and (send, after) == (SEND_ERROR, POISONED_LOCK)
    assert out.stderr == (
        f"thread 'zel-record' panicked: {UNWRAP}"
        'Os { code: 27, kind: FileTooLarge, message: "File too large" }\n'
    )
    assert os.path.getsize(tmp_path / "c.zel") == 5000
    values = [f.user["i"] for f in _zel.Reader(str(tmp_path / "c.zel"))]
    assert len(values) >= int(flushed) > 0 and values == list(range(len(values)))
