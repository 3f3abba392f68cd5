# Arming from the environment, the frame mark, metrics and their columns, flush, the
# exit hook, flame frames every N-th frame, and a writer that cannot write: each in a
# child process, since arming happens once per process.

import os

import pytest
from conftest import run_python, tree

import _zel
from zel import flame

UNWRAP = "called `Result::unwrap()` on an `Err` value: "

# Enables with a wrong argument, then twice (ZEL_RECORD set in between, too late), and
# prints what each did; marks 7 frames with a scope each, then one with more metrics
# than there are column ids, one more, and 500 that only the exit hook flushes; prints
# how many zel-record and zel-gpu threads it has.
CHILD = """
import os, _zel, zel
def threads():
    for t in os.listdir("/proc/self/task"):
        try: yield open(f"/proc/self/task/{t}/comm").read().strip()
        except FileNotFoundError: pass  # a thread that ended meanwhile
try: _zel.enable(1)
except TypeError: pass
with _zel.Scope("early"): pass  # scopes are not switched on yet
_zel.record_metric("early", 1.0)  # before enable: lands in the first frame
for _ in range(2):
    try: _zel.enable(); print("armed")
    except BaseException as e: print(type(e).__name__, e.args[0], sep=": ")
    os.environ["ZEL_RECORD"] = "late.zel"
for name, value in (("b", 2.0), ("a", 1.0), ("a", 5.0)): _zel.record_metric(name, value)
_zel.record_metric_unit("a", "ms")
for k in range(7):
    with _zel.Scope(f"s{k}"): pass
    if k: _zel.record_metric_unit("b", "px"); _zel.record_metric("c", 3.0 * k)  # unit: too late
    _zel.frame_mark()
_zel.flush(); _zel.flush()  # a second flush writes nothing new
print(*(list(threads()).count(f"zel-{t}") for t in ("record", "gpu")))
for i in range(65530): _zel.record_metric(f"m{i}", i)  # 65,528 ids, declared in sorted order
_zel.frame_mark()
for name, value in (("m0", -1.0), ("m9999", -2.0), ("late", -3.0)): _zel.record_metric(name, value)
_zel.frame_mark()
for i in range(500): _zel.record_metric("c", i); _zel.frame_mark()  # c: declared before
"""


def env(record="c.zel", **settings):  # ZEL_RECORD (None: unset), ZEL_RECORD_<SETTING>
    out = {f"ZEL_RECORD_{k.upper()}": v for k, v in settings.items()}
    return out if record is None else {"ZEL_RECORD": record, **out}


POISONED = "PanicException: Once instance has previously been poisoned"
NOT_POSITIVE = 'ZEL_RECORD_{} must be a positive integer, got "{}"'
CONFIGS = [  # (environment, flame frames of the 7 marks or None: none recorded, refusal)
    (env(), None, None),
    (env(flame="1", every="+2"), "X.X.X.X", None),
    (env(flame="1", every="003", max_frames="2"), "X..X...", None),
    (env(flame="1", max_frames="0"), ".......", None),
    (env(flame=" 1"), None, None),
    (env("TCP://x\udcff.zel"), None, None),  # a file path, not a transport
    (env(None, flame="1"), None, None),  # nothing is armed, not even by the late ZEL_RECORD
    (env("tcp://localhost:9000"), None, "ZEL_RECORD tcp:// transport not yet implemented"),
    (env(every="\udcff1"), None, NOT_POSITIVE.format("EVERY", "\\xFF1")),
    (env(every="0"), None, "assertion failed: flame_every >= 1"),
    (env(every="0", max_frames="-1"), None, NOT_POSITIVE.format("MAX_FRAMES", "-1")),
]


@pytest.mark.parametrize("env, flames, refusal", CONFIGS)
def test_arming_frames_metrics_and_flame_frames_as_configured(tmp_path, env, flames, refusal):
    (tmp_path / "TCP:").mkdir()
    out = run_python(CHILD, cwd=tmp_path, **env).stdout.splitlines()
    armed = refusal is None and "ZEL_RECORD" in env
    assert out[:2] == ([f"PanicException: {refusal}", POISONED] if refusal else ["armed"] * 2)
    recording, gpu = map(int, out[2].split())
    assert recording == armed and gpu <= armed  # zel-gpu ends where there is no GPU
    if not armed:
        assert os.listdir(tmp_path) == ["TCP:"]
        return
    if env["ZEL_RECORD"].startswith("TCP:"):  # the file is there under its name, bytes as given
        os.rename(os.fsencode(tmp_path) + b"/TCP:/x\xff.zel", tmp_path / "c.zel")
    assert sorted(os.listdir(tmp_path)) == ["TCP:", "c.zel"]
    r = _zel.Reader(str(tmp_path / "c.zel"))
    frames = list(r)
    assert r.flame_enabled == (flames is not None)
    # the flame frames of the first 7, each holding its own frame's scope
    got = [f.flame and [tree(t.scopes) for t in flame.decode(f.flame).threads] for f in frames[:7]]
    assert got == [[[(f"s{k}", [])]] if c == "X" else None for k, c in enumerate(flames or "." * 7)]
    # ids 8..65535 for user columns, 4 taken: names sorted after the 65,524th are dropped
    kept = sorted(f"m{i}" for i in range(65530))[: 65536 - 8 - 4]
    declared = [("a", "ms"), ("b", ""), ("early", ""), ("c", "")]
    assert r.user_columns == declared + [(m, "") for m in kept]
    assert frames[0].system[0] == 0.0 and all(f.system[0] > 0 for f in frames[1:])
    users = [{"a": 5.0, "b": 2.0, "early": 1.0}] + [{"c": 3.0 * k} for k in range(1, 7)]
    users += [{m: float(m[1:]) for m in kept}, {"m0": -1.0}] + [{"c": i} for i in range(500)]
    assert [f.user for f in frames] == users  # the last value in a frame wins


# Marks frames numbered by a metric i, flushing every 7th, until a call has failed
# after the first SendError; then flushes once more and goes on with the rest of the
# API. Prints how many frames the last flush that returned covers, and every failure.
FAILING = """
    import os, resource, signal, time, zel
    if os.environ["AS_NOBODY"] and os.geteuid() == 0:  # permissions do not bind root
        os.setgid(65534); os.setuid(65534)
    if os.environ["LIMIT"]:  # the write that crosses it is cut short, the next gets EFBIG
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (int(os.environ["LIMIT"]), -1))
    zel.enable()
    i, flushed, messages, deadline = 0, 0, [], time.monotonic() + 20
    while not any("SendError" in m for m in messages[:-1]) and time.monotonic() < deadline:
        try:
            zel.record_metric("i", i); zel.frame_mark(); i += 1
            if i % 7 == 0: zel.flush(); flushed = i
        except BaseException as e:
            messages.append(e.args[0])
    try: zel.flush()
    except BaseException as e: messages.append(e.args[0])
    zel.record_metric("still", 1.0)
    with zel.Scope("fine"): pass
    print(flushed, *messages, sep="\\n")
"""
OS_ERROR = UNWRAP + 'Os {{ code: {}, kind: {}, message: "{}" }}'


WRITER_FAILURES = [  # ZEL_RECORD, the file size limit, what the writer thread says
    ("", "", 'create "": No such file or directory (os error 2)'),
    ("missing/c.zel", "", 'create "missing/c.zel": No such file or directory (os error 2)'),
    ("ro/c.zel", "", 'create "ro/c.zel": Permission denied (os error 13)'),
    # every write fails: the header's is the first
    ("/dev/full", "", OS_ERROR.format(28, "StorageFull", "No space left on device")),
    # the file size limit stands in for a disk that fills up mid-capture
    ("c.zel", "5000", OS_ERROR.format(27, "FileTooLarge", "File too large")),
]


@pytest.mark.parametrize("path, limit, diagnostic", WRITER_FAILURES)
def test_a_writer_that_cannot_write_ends_alone(tmp_path, path, limit, diagnostic):
    tmp_path.chmod(0o755)
    (tmp_path / "ro").mkdir(mode=0o555)
    nobody = "1"[: path.startswith("ro/")]
    out = run_python(FAILING, cwd=tmp_path, ZEL_RECORD=path, LIMIT=limit, AS_NOBODY=nobody)
    # A flush queued before the writer thread was gone fails on its answer; the first
    # send after fails, and every call after that.
    flushed, *flushes, send, after, last = out.stdout.splitlines()
    assert set(flushes) <= {UNWRAP + "RecvError"}
    assert [send, after, last] == [
        UNWRAP + e + "Error { .. }" for e in ("Send", "Poison", "Poison")
    ]
    # one line on standard error, none from the exit hook
    assert out.stderr == f"thread 'zel-record' panicked: {diagnostic}\n"
    if limit:
        assert os.path.getsize(tmp_path / path) == int(limit)
        values = [f.user["i"] for f in _zel.Reader(str(tmp_path / path))]
        assert len(values) >= int(flushed) > 0 and values == list(range(len(values)))
    else:
        assert flushed == "0" and sorted(os.listdir(tmp_path)) == ["ro"]
