import asyncio
import inspect

import pytest

import zel


@pytest.fixture(autouse=True)
def scopes(capture):
    capture.scopes()
    return capture.scopes


class Body:
    @zel.profile
    def method(self, x, *, scale=2):
        """Scales x."""
        return x * scale


@zel.profile
def fails():
    raise KeyError("inside")


def test_wrapper_keeps_name_docstring_signature_and_behaviour(scopes):
    @zel.profile
    def inner(a, b=1):
        return a + b

    assert Body.method.__name__ == "method" and Body.method.__doc__ == "Scales x."
    assert str(inspect.signature(Body.method)) == "(self, x, *, scale=2)"
    assert Body().method(3, scale=3) == 9
    assert inner(1) == 2
    with pytest.raises(KeyError):
        fails()
    names = [tree for _thread, tree in scopes()]
    assert names == [
        [
            ("Body.method", []),
            ("test_wrapper_keeps_name_docstring_signature_and_behaviour.<locals>.inner", []),
            ("fails", []),
        ]
    ]


def test_a_given_name_and_refused_arguments(scopes):
    @zel.profile(name="physics.step")
    def step():
        return fails_later()

    def fails_later():
        return "ok"

    assert step() == "ok"
    assert scopes()[0][1] == [("physics.step", [])]
    with pytest.raises(TypeError, match="expects a callable"):
        zel.profile(3)


def test_coroutines_are_timed_step_by_step_and_nest_with_other_tasks(scopes):
    @zel.profile
    async def fetch(n):
        for _ in range(n):
            await asyncio.sleep(0)
        return n

    @zel.profile
    async def cancelled():
        await asyncio.sleep(10)

    async def main():
        results = await asyncio.gather(fetch(2), fetch(1))
        task = asyncio.ensure_future(cancelled())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return results

    assert inspect.iscoroutinefunction(fetch)
    assert asyncio.run(main()) == [2, 1]
    # Every step is its own outermost scope: fetch(2) runs 3 steps, fetch(1) 2, and
    # the cancelled task 2 (its start and the cancellation thrown into it).
    steps = [scope for _thread, tree in scopes() for scope in tree]
    assert all(children == [] for _name, children in steps)
    names = [name for name, _children in steps]
    local = "test_coroutines_are_timed_step_by_step_and_nest_with_other_tasks.<locals>."
    assert names.count(local + "fetch") == 5
    assert names.count(local + "cancelled") == 2
