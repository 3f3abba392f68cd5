import inspect
import subprocess
import sys
import threading

import pytest

import _zel
from recording import run_python


@pytest.fixture(autouse=True)
def close_frame(capture):
    capture.scopes()
    return capture.scopes


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


def test_nested_scopes_and_exceptions_are_recorded(close_frame):
    with pytest.raises(ValueError):
        with _zel.Scope("outer") as s:
            assert isinstance(s, _zel.Scope)
            with _zel.Scope("inner"):
                pass
            with _zel.Scope(""):
                raise ValueError("propagates")
    assert close_frame() == [("", [("outer", [("inner", []), ("", [])])])]


def test_one_object_serves_consecutive_blocks(close_frame):
    s = _zel.Scope("again")
    for _ in range(2):
        with s:
            pass
    assert close_frame() == [("", [("again", []), ("again", [])])]


def test_reentering_ends_the_earlier_scope_after_opening_the_new_one(close_frame):
    s = _zel.Scope("re")
    with s:
        with s:  # opens a second scope, then ends the first: the second is left open
            pass  # the inner exit ends the second
        assert s.__exit__(None, None, None) is False  # the outer exit does nothing
    # The records read as the second scope inside the first.
    assert close_frame() == [("", [("re", [("re", [])])])]


def test_destroying_an_entered_scope_ends_it(close_frame):
    s = _zel.Scope("dropped")
    s.__enter__()
    del s
    assert close_frame() == [("", [("dropped", [])])]


def test_threads_record_their_own_unnamed_streams(close_frame):
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


def test_scope_exited_on_another_thread_is_closed_by_the_thread_that_opened_it(close_frame):
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


def test_nothing_is_recorded_before_scopes_are_switched_on(tmp_path):
    path = tmp_path / "early.zel"
    code = """
        import _zel
        with _zel.Scope('early'):
            pass
        _zel.enable()
        _zel.frame_mark()
        _zel.flush()
        print([f.flame for f in _zel.Reader(%r)])
    """ % str(path)
    out = run_python(code, ZEL_RECORD=str(path), ZEL_RECORD_FLAME="1")
    assert out.stdout.strip() == "[None]"
