"""Scopes and `zel.profile` on the session capture: what each way of opening scopes
records, per thread, as (thread name, scope trees)."""

import asyncio
import inspect
import threading

import pytest
from recording import run_python

import _zel
import zel


def on_threads(*targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
        t.join()


def nested_with_an_exception():
    with pytest.raises(ValueError):
        with _zel.Scope("outer") as s:
            assert isinstance(s, _zel.Scope)
            with _zel.Scope("inner"):
                pass
            with _zel.Scope(""):
                raise ValueError("propagates")
    return [("", [("outer", [("inner", []), ("", [])])])]


def one_object_for_consecutive_blocks():
    s = _zel.Scope("again")
    for _ in range(2):
        with s:
            pass
    return [("", [("again", []), ("again", [])])]


def reentered():
    s = _zel.Scope("re")
    with s:
        with s:  # opens a second scope, then ends the first: the second is left open
            pass  # the inner exit ends the second
        assert s.__exit__(None, None, None) is False  # the outer exit does nothing
    return [("", [("re", [("re", [])])])]  # the second scope inside the first


def dropped_while_entered():
    _zel.Scope("dropped").__enter__()
    return [("", [("dropped", [])])]


def threads_of_their_own():
    def work():
        for _ in range(3):
            with _zel.Scope("worker"):
                pass

    on_threads(work, work)
    return [("", [("worker", [])] * 3)] * 2


def exited_on_another_thread():
    shared = _zel.Scope("shared")

    def owner():
        with _zel.Scope("mine"):
            shared.__enter__()
            on_threads(elsewhere)
        # "shared" ended on the other thread; this thread closed it at its next end.

    def elsewhere():
        with _zel.Scope("theirs"):
            shared.__exit__(None, None, None)

    on_threads(owner)
    return [("", [("mine", [("shared", [])])]), ("", [("theirs", [])])]


class Body:
    @zel.profile
    def method(self, x, *, scale=2):
        """Scales x."""
        return x * scale


@zel.profile(name="physics.step")
def fails():
    raise KeyError("inside")


def profiled_functions():
    assert Body.method.__name__ == "method" and Body.method.__doc__ == "Scales x."
    assert str(inspect.signature(Body.method)) == "(self, x, *, scale=2)"
    assert Body().method(3, scale=3) == 9
    with pytest.raises(KeyError):
        fails()
    with pytest.raises(TypeError, match="expects a callable"):
        zel.profile(3)
    return [("", [("Body.method", []), ("physics.step", [])])]


@zel.profile
async def fetch(n):
    for _ in range(n):
        await asyncio.sleep(0)
    return n


@zel.profile
async def cancelled():
    await asyncio.sleep(10)


def profiled_coroutines():
    async def main():
        results = await asyncio.gather(fetch(2), fetch(1))
        task = asyncio.ensure_future(cancelled())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return results

    assert inspect.iscoroutinefunction(fetch) and asyncio.run(main()) == [2, 1]
    # Every step is its own outermost scope: fetch(2) runs 3 steps, fetch(1) 2, and
    # the cancelled task 2 (its start and the cancellation thrown into it).
    return [
        ("", [("fetch", [])] * 2 + [("fetch", [])] * 2 + [("fetch", [])] + [("cancelled", [])] * 2)
    ]


CASES = [nested_with_an_exception, one_object_for_consecutive_blocks, reentered]
CASES += [dropped_while_entered, threads_of_their_own, exited_on_another_thread]
CASES += [profiled_functions, profiled_coroutines]


@pytest.mark.parametrize("scopes", CASES)
def test_what_scopes_record(capture, scopes):
    capture.scopes()  # start from a fresh frame
    expected = scopes()
    got = capture.scopes()
    if scopes is profiled_coroutines:  # tasks take turns: compare the steps, not their order
        got = [(name, sorted(trees)) for name, trees in got]
        expected = [(name, sorted(trees)) for name, trees in expected]
    assert got == expected


def test_nothing_is_recorded_before_scopes_are_switched_on(tmp_path):
    code = "import _zel\nwith _zel.Scope('early'):\n    pass\n"
    code += "_zel.enable()\n_zel.frame_mark()\n_zel.flush()\n"
    run_python(code, ZEL_RECORD=str(tmp_path / "early.zel"), ZEL_RECORD_FLAME="1")
    assert [f.flame for f in _zel.Reader(str(tmp_path / "early.zel"))] == [None]
