import inspect
import subprocess
import sys
import threading

import pytest

import _zel
from flame import decode, named_tree

_zel._scopes_on_for_tests()


def close_frame():
    """The scopes recorded since the last call, per thread, as named trees."""
    data = _zel._close_frame_for_tests()
    if data is None:
        return []
    frame = decode(data)
    return [(name, named_tree(frame, scopes)) for name, _start, scopes in frame["threads"]]


@pytest.fixture(autouse=True)
def fresh_frame():
    close_frame()


def test_docstrings_and_signatures():
    assert _zel.Scope.__doc__ == (
        "Context manager over a runtime-named scope: `with Scope(name): ...`.\n"
        "The `@zel.profile` decorator (Python side) wraps each call in one."
    )
    if sys.version_info >= (3, 10):  # 3.9 drops a heap type's text signature
        assert str(inspect.signature(_zel.Scope)) == "(name)"
    assert str(inspect.signature(_zel.Scope.__exit__)) == (
        "(self, /, _exc_type, _exc_value, _traceback)"
    )
    assert _zel.Scope.__enter__.__text_signature__ == "($self)"


def test_bad_arguments():
    with pytest.raises(TypeError) as info:
        _zel.Scope(3)
    assert str(info.value) == "argument 'name': 'int' object cannot be converted to 'PyString'"
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
        _zel.Scope()
    with pytest.raises(UnicodeEncodeError):
        _zel.Scope("\ud800")
    assert _zel.Scope(name="kw") is not None
    s = _zel.Scope("x")
    with pytest.raises(TypeError, match="_traceback"):
        s.__exit__(None, None)
    assert s.__exit__(_exc_type=None, _exc_value=None, _traceback=None) is False
    with pytest.raises(TypeError, match="Scope"):
        _zel.Scope.__enter__(object())


def test_nested_scopes_and_exceptions_are_recorded():
    with pytest.raises(ValueError):
        with _zel.Scope("outer") as s:
            assert isinstance(s, _zel.Scope)
            with _zel.Scope("inner"):
                pass
            with _zel.Scope(""):
                raise ValueError("propagates")
    assert close_frame() == [("", [("outer", [("inner", []), ("", [])])])]


def test_one_object_serves_consecutive_blocks():
    s = _zel.Scope("again")
    for _ in range(2):
        with s:
            pass
    assert close_frame() == [("", [("again", []), ("again", [])])]


def test_reentering_ends_the_earlier_scope_after_opening_the_new_one():
    s = _zel.Scope("re")
    with s:
        with s:  # opens a second scope, then ends the first: the second is left open
            pass  # the inner exit ends the second
        assert s.__exit__(None, None, None) is False  # the outer exit does nothing
    # The records read as the second scope inside the first.
    assert close_frame() == [("", [("re", [("re", [])])])]


def test_destroying_an_entered_scope_ends_it():
    s = _zel.Scope("dropped")
    s.__enter__()
    del s
    assert close_frame() == [("", [("dropped", [])])]


def test_threads_record_their_own_unnamed_streams():
    def work():
        for _ in range(3):
            with _zel.Scope("worker"):
                pass

    threads = [threading.Thread(target=work, name=f"py-{i}") for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    frame = close_frame()
    assert [name for name, _ in frame] == ["", ""]
    assert all(scopes == [("worker", [])] * 3 for _, scopes in frame)


def test_scope_exited_on_another_thread_is_closed_by_the_thread_that_opened_it():
    shared = _zel.Scope("shared")

    def owner():
        with _zel.Scope("mine"):
            shared.__enter__()
            t = threading.Thread(target=elsewhere)
            t.start()
            t.join()
        # "shared" ended on the other thread; this thread closed it at its next end.

    def elsewhere():
        with _zel.Scope("theirs"):
            shared.__exit__(None, None, None)

    t = threading.Thread(target=owner)
    t.start()
    t.join()
    assert close_frame() == [
        ("", [("mine", [("shared", [])])]),
        ("", [("theirs", [])]),
    ]


def test_nothing_is_recorded_before_scopes_are_switched_on():
    code = (
        "import _zel\n"
        "with _zel.Scope('early'):\n"
        "    pass\n"
        "print(_zel._close_frame_for_tests())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "None"
