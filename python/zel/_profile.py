"""The `profile` decorator: every call of the decorated function runs in a `Scope`."""

import functools
import inspect

from _zel import Scope, _Profiled


def profile(func=None, *, name=None):
    """Wrap each call of `func` in a `Scope` named after its qualified name.

    Use it bare (`@profile`) or with a name (`@profile(name="physics.step")`). The
    wrapper keeps the function's name, docstring and signature, and binds as a method
    does. Coroutine, generator and async generator functions are timed step by step:
    each stretch of the body that runs between two suspensions (an await or a yield)
    is one scope, so time spent suspended is not counted and scopes of other tasks
    that run meanwhile on the same thread nest correctly. They stay what `inspect`
    says they are: the wrapper of a generator function is a generator function.
    """
    if func is None:
        return functools.partial(profile, name=name)
    if isinstance(func, (staticmethod, classmethod)):
        return type(func)(profile(func.__func__, name=name))
    if not callable(func):
        raise TypeError(f"profile() expects a callable, got {type(func).__name__}")
    scope_name = name if name is not None else func.__qualname__

    if inspect.iscoroutinefunction(func):

        @functools.wraps(func)
        async def run_coroutine(*args, **kwargs):
            return await _Stepped(func(*args, **kwargs), scope_name)

        return run_coroutine

    if inspect.isgeneratorfunction(func):

        @functools.wraps(func)
        def run_generator(*args, **kwargs):
            return (yield from _steps(func(*args, **kwargs), scope_name))

        return run_generator

    if inspect.isasyncgenfunction(func):

        @functools.wraps(func)
        async def run_async_generator(*args, **kwargs):
            agen = func(*args, **kwargs)
            value, error = None, None
            while True:
                step = agen.asend(value) if error is None else agen.athrow(error)
                try:
                    item = await _Stepped(step, scope_name)
                except StopAsyncIteration:
                    return
                try:
                    value, error = (yield item), None
                except GeneratorExit:
                    await _Stepped(agen.aclose(), scope_name)
                    raise
                except BaseException as e:  # noqa: BLE001 - handed on to the generator
                    value, error = None, e

        return run_async_generator

    return functools.update_wrapper(_Profiled(func, scope_name), func)


def _steps(it, name):
    """Runs generator or coroutine `it` to its end, each of its steps inside a scope,
    passing on what is sent or thrown in and returning what it returns."""
    send, throw = it.send, it.throw
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
            with Scope(name):
                it.close()
            raise
        except BaseException as e:  # noqa: BLE001 - handed on to `it`
            value, error = None, e


class _Stepped:
    """Awaits a coroutine (or any awaitable iterator), each of its steps in a scope."""

    __slots__ = ("_coro", "_name")

    def __init__(self, coro, name):
        self._coro, self._name = coro, name

    def __await__(self):
        return _steps(self._coro, self._name)
