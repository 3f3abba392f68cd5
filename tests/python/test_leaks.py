# Every call of the API, many times over in an armed child process, keeps reference
# counts, the number of live objects, Python allocations and resident memory flat.

import json
import struct

from conftest import header, run_python

CHILD = r"""
import gc, json, os, sys, tracemalloc, _zel, zel
name, unit, value, scope_name = "leak_metric", "ms", 2.5, "leak_scope"
passed = [fixed, damaged, missing, name, unit, value, scope_name]
step = zel.profile(lambda: None)

@zel.profile(name="tick")
async def tick(): pass

def expect(kind, call, *args):
    try: raise AssertionError(call(*args))
    except kind: pass

def round():
    for _ in range(100):
        zel.record_metric(name, value); zel.record_metric(name, 1)  # an int, converted
        zel.record_metric_unit(name, unit)
        with zel.Scope(scope_name): step()
        expect(StopIteration, tick().send, None)
        zel.frame_mark()
    zel.flush()
    zel.enable()
    for _ in range(20):  # 6 frames with flame data each time
        reader = zel.Reader(fixed)
        [(f.system, f.user, f.flame, reader.columns, reader.user_columns) for f in reader]
    expect(OSError, zel.Reader, missing)
    expect(_zel.PanicException, lambda: list(zel.Reader(damaged)))
    for args in ((name, "x"), (value, value)): expect(TypeError, zel.record_metric, *args)
    expect(TypeError, zel.Scope, 1)

def census():  # references to what was passed, live objects, resident bytes
    gc.collect()
    with open("/proc/self/statm") as f: rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return [sys.getrefcount(x) for x in passed], len(gc.get_objects()), rss

zel.enable()
for _ in range(15): round()  # past the frame view's 1,000 recent frames and every cache
(refs, objects, rss), _ = census(), tracemalloc.start()
for _ in range(30): round()
(refs2, objects2, rss2), traced = census(), tracemalloc.get_traced_memory()[0]
print(json.dumps([[b - a for a, b in zip(refs, refs2)], objects2 - objects, traced, rss2 - rss]))
"""


def test_the_api_leaks_nothing(recorded, tmp_path, system_columns):
    damaged = tmp_path / "damaged.zel"  # its first blob's length is below a blob's own
    damaged.write_bytes(header(system_columns) + struct.pack("<II", 2, 0))
    paths = [str(recorded), str(damaged), str(tmp_path / "absent")]
    env = dict(ZEL_RECORD=tmp_path / "leaks.zel", ZEL_RECORD_FLAME="1")
    out = run_python(f"fixed, damaged, missing = {paths}\n", CHILD, **env)
    refs, objects, traced, rss = json.loads(out.stdout)
    # 30 rounds read 3,600 frames and call the rest 3,000 times or more: a reference,
    # an object or a buffer kept per call would show far above these bounds.
    assert refs == [0] * 7 and objects < 100 and traced < 256 * 1024 and rss < 4 * 1024 * 1024
