"""Every call of the API, many times over in an armed child process, keeps reference
counts, the number of live objects, Python allocations and resident memory flat."""

import json
import struct

from recording import run_python
from streams import header

CHILD = r"""
import gc, json, os, sys, tracemalloc, zel
from zel.commands.common import panic_exception
fixed, damaged, missing = sys.argv[1:4]
name, unit, value, scope_name = "leak_metric", "ms", 2.5, "leak_scope"
passed = [fixed, damaged, missing, name, unit, value, scope_name]

@zel.profile
def step():
    pass

@zel.profile(name="tick")
async def tick():
    pass

def expect(kind, call, *args):
    try:
        call(*args)
    except BaseException as e:
        assert isinstance(e, kind), e
    else:
        raise AssertionError(kind)

def round():
    for _ in range(100):
        zel.record_metric(name, value)
        zel.record_metric(name, 1)  # an int, converted
        zel.record_metric_unit(name, unit)
        with zel.Scope(scope_name):
            step()
        coroutine = tick()
        expect(StopIteration, coroutine.send, None)
        zel.frame_mark()
    zel.flush()
    zel.enable()
    for _ in range(4):
        reader = zel.Reader(fixed)
        for frame in reader:
            frame.system, frame.user, frame.flame
        reader.columns, reader.user_columns, reader.flame_enabled
    expect(OSError, zel.Reader, missing)
    expect(panic_exception(), lambda: list(zel.Reader(damaged)))
    expect(TypeError, zel.record_metric, name, "x")
    expect(TypeError, zel.record_metric, value, value)
    expect(TypeError, zel.Scope, 1)

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

zel.enable()
for _ in range(15):  # past the frame view's 1,000 recent frames and every cache
    round()
gc.collect()
refs, objects, memory = [sys.getrefcount(x) for x in passed], len(gc.get_objects()), rss()
tracemalloc.start()
for _ in range(30):
    round()
gc.collect()
traced = tracemalloc.get_traced_memory()[0]
tracemalloc.stop()
print(json.dumps({
    "refs": [a - b for a, b in zip([sys.getrefcount(x) for x in passed], refs)],
    "objects": len(gc.get_objects()) - objects,
    "traced": traced,
    "rss": rss() - memory,
}))
"""


def test_the_api_leaks_nothing(tmp_path, system_columns):
    fixed = tmp_path / "fixed.zel"
    run_python(
        """
        import zel
        zel.enable()
        for i in range(250):
            with zel.Scope("s"):
                zel.record_metric(f"m{i % 5}", i)
            zel.frame_mark()
        zel.flush()
        """,
        ZEL_RECORD=str(fixed),
        ZEL_RECORD_FLAME="1",
    )
    damaged = tmp_path / "damaged.zel"
    data = fixed.read_bytes()
    at = len(header(system_columns, flame=True))  # the first blob, given a length below its own
    damaged.write_bytes(data[:at] + struct.pack("<I", 2) + data[at + 4 :])

    out = run_python(
        "import sys; sys.argv[1:] = %r\n" % [str(fixed), str(damaged), str(tmp_path / "absent")],
        CHILD,
        ZEL_RECORD=str(tmp_path / "leaks.zel"),
        ZEL_RECORD_FLAME="1",
    )
    growth = json.loads(out.stdout)
    # 30 rounds read 30,000 frames and call the rest 3,000 times or more: a reference,
    # an object or a buffer kept per call would show far above these bounds.
    assert growth["refs"] == [0] * 7
    assert growth["objects"] < 100
    assert growth["traced"] < 256 * 1024
    assert growth["rss"] < 4 * 1024 * 1024
