# Scopes and `zel.profile` on the session capture: what each way of opening scopes
# records, per thread, as (thread name, scope trees); and zel.flame on a recorded frame:
# nested times, self times, and refusal of anything but a whole flame frame.

import asyncio
import inspect
import threading

import pytest
from conftest import HOSTILE, tree

import zel
from zel import Scope, flame


def on_threads(*targets):
    for t in (threading.Thread(target=f) for f in targets):
        t.start() or t.join()


def blocks_on_one_thread():
    with pytest.raises(ValueError), Scope("outer") as s:
        assert isinstance(s, Scope)
        with Scope("inner"):
            pass
        with Scope(""):
            raise ValueError("propagates")
    again = Scope("again")  # one object for consecutive blocks
    for _ in range(2):
        with again:
            pass
    re = Scope("re")
    with re:
        with re:  # opens a second scope, then ends the first: the second is left open
            pass  # the inner exit ends the second
        assert re.__exit__(None, None, None) is False  # the outer exit does nothing
    Scope("dropped").__enter__()  # dropped while entered
    outer = ("outer", [("inner", []), ("", [])])
    return [("", [outer, ("again", []), ("again", []), ("re", [("re", [])]), ("dropped", [])])]


def other_threads():
    def work():
        [Scope("worker").__enter__().__exit__(None, None, None) for _ in range(3)]

    shared = Scope("shared")

    def owner():
        with Scope("mine"):
            shared.__enter__()
            on_threads(elsewhere)
        # "shared" ended on the other thread; this thread closed it at its next end.

    def elsewhere():
        with Scope("theirs"):
            shared.__exit__(None, None, None)

    on_threads(work, work, owner)
    workers = [("", [("worker", [])] * 3)] * 2
    return workers + [("", [("mine", [("shared", [])])]), ("", [("theirs", [])])]


class Body:
    @zel.profile
    def method(self, x, *, scale=2):
        """Scales x."""
        return x * scale


@zel.profile(name="net.fetch")
async def fetch(n):
    for _ in range(n):
        await asyncio.sleep(0)
    return n


async def tasks():
    results = await asyncio.gather(fetch(2), fetch(1))
    task = asyncio.ensure_future(fetch(100))
    await asyncio.sleep(0)  # it starts, and is cancelled at its first await
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    return results


def profiled():
    assert str(inspect.signature(Body.method)) == "(self, x, *, scale=2)"
    assert Body().method(3, scale=3) == 9
    pytest.raises(TypeError, Body().method, None)  # raised inside: the scope ends all the same
    pytest.raises(TypeError, zel.profile, 3).match("expects a callable")
    assert inspect.iscoroutinefunction(fetch) and asyncio.run(tasks()) == [2, 1]
    # Every step of a coroutine is its own outermost scope (tasks take turns, so the
    # scopes are compared sorted): fetch(n) runs n + 1 steps, the cancelled one 2 (its
    # start and the cancellation thrown into it).
    return [("", sorted([("Body.method", [])] * 2 + [("net.fetch", [])] * (3 + 2 + 2)))]


@pytest.mark.parametrize("scopes", [blocks_on_one_thread, other_threads, profiled])
def test_what_scopes_record(capture, scopes):
    capture.next_frame()  # start from a fresh frame
    expected, got = scopes(), capture.scopes()
    if scopes is profiled:
        got = [(name, sorted(trees)) for name, trees in got]
    assert got == expected


def test_decode_gives_the_scopes_recorded_with_their_times(recorded):
    # conftest.RECORD's frame 4: frame > (update > physics, draw) on the main thread and
    # job > (read, HOSTILE) on another, around sleeps of 2, 40, 1 and 1 ms.
    raw = zel.load(recorded).flame[4]
    frame = flame.decode(raw)
    trees = sorted(tree(t.scopes, frame.start_ns, frame.stop_ns) for t in frame.threads)
    loop = ("frame", [("update", [("physics", [])]), ("draw", [])])
    assert trees == [[loop], [("job", [("read", []), (HOSTILE, [])])]] and frame.index == 4
    (main,) = (t for t in frame.threads if t.scopes[0].name == "frame")
    assert [d for _, d in flame.walk(main.scopes, 1)] == [1, 2, 3, 2]
    scopes = {s.name: s for t in frame.threads for s, _ in flame.walk(t.scopes)}
    slept = {"physics": 2e6, "draw": 40e6, "read": 1e6, HOSTILE: 1e6}
    assert all(scopes[name].duration_ns >= ns for name, ns in slept.items())
    # self time leaves out the children, not the other thread's scopes
    children = scopes["update"].duration_ns + scopes["draw"].duration_ns
    assert scopes["frame"].self_ns == scopes["frame"].duration_ns - children
    own = flame.self_times(frame)  # by name, largest first
    assert own == {name: s.self_ns for name, s in scopes.items()}
    assert list(own.values()) == sorted(own.values(), reverse=True)
    # Every strict prefix and a flipped magic are refused with FlameError, a ValueError.
    for n in range(len(raw)):
        pytest.raises(flame.FlameError, flame.decode, raw[:n])
    pytest.raises(ValueError, flame.decode, b"X" + raw[1:]).match("magic")
