# One Scope object shared by threads, and `zel.profile` on generators, async generators,
# methods and their metadata, read back from recorded flame frames.

import asyncio
import collections
import inspect
import pickle

import pytest
from conftest import run_python

import zel
from zel import Scope, flame

SHARED = """
import sys, threading, zel
sys.setswitchinterval(1e-6)  # threads swap often, so they are inside `s` together
zel.enable()
s = zel.Scope("work")

def work():
    for _ in range(10_000):
        with s:
            sum(range(20))

threads = [threading.Thread(target=work) for _ in range(4)]
[t.start() for t in threads]
for t in threads:
    while t.is_alive():
        zel.frame_mark()
        t.join(0.01)
zel.frame_mark()
zel.flush()
"""


def test_threads_sharing_one_scope_object_each_record_their_own(tmp_path):
    path = tmp_path / "shared.zel"
    run_python(SHARED, ZEL_RECORD=path, ZEL_RECORD_FLAME="1")
    counts = collections.Counter()  # (depth, name, still open)
    for raw in zel.load(path).flame.values():
        for t in flame.decode(raw).threads:
            counts.update((d, s.name, s.open) for s, d in flame.walk(t.scopes))
    assert counts == {(0, "work", False): 40_000}


@zel.profile(name="g")
def gen():
    try:
        x = 1
        while x:
            with Scope("step"):
                pass
            try:
                x = yield x
            except KeyError:
                x = -1
            if x == 99:
                raise ValueError(x)
    finally:
        with Scope("cleanup"):
            pass


@zel.profile(name="g")
async def agen():  # gen, with an await in each step that starts with `step`
    try:
        x = 1
        while x:
            with Scope("step"):
                pass
            await asyncio.sleep(0)
            try:
                x = yield x
            except KeyError:
                x = -1
            if x == 99:
                raise ValueError(x)
    finally:
        with Scope("cleanup"):
            pass


async def drive(g, ops):  # each op's result or exception type, then a `use` scope
    out, is_async = [], inspect.isasyncgen(g)
    for op, arg in ops:
        try:
            call = getattr(g, "a" * is_async + op)(*[arg][: op != "close"])
            out.append(await call if is_async else call)
        except Exception as e:  # noqa: BLE001 - the outcome is what is compared
            out.append(type(e).__name__.replace("Async", ""))
        with Scope("use"):
            pass
    return out


NEXT = ("send", None)
# ops, their outcomes, and what each op ran: S a step through `step`, C the cleanup
CASES = [
    ([NEXT, ("send", 5), ("send", 0)], [1, 5, "StopIteration"], "SSC"),
    ([NEXT, ("throw", KeyError()), ("close", None)], [1, -1, None], "SSC"),  # early close
    ([NEXT, ("send", 99)], [1, "ValueError"], "SC"),
    ([NEXT, ("throw", TypeError())], [1, "TypeError"], "SC"),
    ([("close", None)], [None], "-"),  # never started: nothing runs
]


@pytest.mark.parametrize("g", [gen, agen])
@pytest.mark.parametrize("ops, outcomes, ran", CASES)
def test_profile_times_each_resumption_of_a_generator(capture, g, ops, outcomes, ran):
    capture.next_frame()
    got = asyncio.run(drive(g(), ops))
    # Each resumption is one outermost scope: the code that runs between them (`use`,
    # the event loop) is outside it. An await splits a step in two.
    step = [("g", [("step", [])])] + [("g", [])] * (g is agen)
    scopes = {"S": step, "C": [("g", [("cleanup", [])])], "-": []}
    expected = [s for r in ran for s in scopes[r] + [("use", [])]]
    assert (got, capture.scopes()) == (outcomes, [("", expected)])


@zel.profile
def double(x):
    """Doubles x."""
    return 2 * x


class Body:
    @zel.profile(name="m")
    def method(self, x):
        return (self, x)

    @staticmethod
    @zel.profile(name="s")
    def static(x):
        return x

    @zel.profile(name="c")  # outside classmethod as well as inside
    @classmethod
    def klass(cls, x):
        return (cls, x)


async def coroutine():
    pass


def test_profile_keeps_metadata_and_binds_as_functions_do(capture):
    kinds = (inspect.isgeneratorfunction, inspect.isasyncgenfunction, inspect.iscoroutinefunction)
    wrapped = (gen, agen, zel.profile(coroutine), double)
    assert [[k(f) for k in kinds] for f in wrapped] == [[1, 0, 0], [0, 1, 0], [0, 0, 1], [0] * 3]
    meta = [getattr(double, a) for a in ("__name__", "__qualname__", "__doc__", "__module__")]
    assert meta == ["double", "double", "Doubles x.", __name__]
    assert double.__dict__["__wrapped__"](1) == 2 and str(inspect.signature(double)) == "(x)"
    assert pickle.loads(pickle.dumps(double)) is double and "_Profiled" not in zel.__all__
    b = Body()
    assert str(inspect.signature(b.method)) == "(x)" and b.method.__self__ is b
    capture.next_frame()
    calls = [b.method(1), Body.method(b, 2), b.static(3), Body.static(4), b.klass(5)]
    assert calls == [(b, 1), (b, 2), 3, 4, (Body, 5)] and double(21) == 42
    pytest.raises(TypeError, double, None)  # raised inside: the scope ends all the same
    names = ["m", "m", "s", "s", "c", "double", "double"]
    assert capture.scopes() == [("", [(n, []) for n in names])]
