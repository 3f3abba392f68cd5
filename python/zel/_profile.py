"""The `profile` decorator: every call of the decorated function runs in a `Scope`."""

import functools
import inspect

from _zel import Scope


def profile(func=None, *, name=None):
    """Wrap each call of `func` in a `Scope` named after its qualified name.

    Use it bare (`@profile`) or with a name (`@profile(name="physics.step")`). The
    wrapper keeps the function's name, docstring and signature. A coroutine function
    is timed step by step: each stretch of its body that runs between two awaits is
    one scope, so time spent waiting is not counted and scopes of other tasks that run
    meanwhile on the same thread nest correctly.
    """
    if func is None:
        return functools.partial(profile, name=name)
    if not callable(func):
        raise TypeError(f"profile() expects a callable, got {type(func).__name__}")
    scope_name = name if name is not None else func.__qualname__

    if inspect.iscoroutinefunction(func):

        @functools.wraps(func)
        async def run_coroutine(*args, **kwargs):
            return await _Stepped(func(*args, **kwargs), scope_name)

        return run_coroutine

    @functools.wraps(func)
    def run(*args, **kwargs):
        with Scope(scope_name):
            return func(*args, **kwargs)

    return run


class _Stepped:
    """Awaits a coroutine, running each of its steps inside a scope."""

    __slots__ = ("_coro", "_name")

    def __init__(self, coro, name):
        self._coro, self._name = coro, name

    def __await__(self):
        coro, name = self._coro, self._name
        send, throw = coro.send, coro.throw
        value, error = None, None
        while True:
            try:
                with Scope(name):
                    yielded = send(value) if error is None else throw(error)
            except StopIteration as stop:
                return stop.value
            try:
                value, error = (yield yielded), None
            except GeneratorExit:
                coro.close()
                raise
            except BaseException as e:  # noqa: BLE001 - handed on to the coroutine
                value, error = None, e
