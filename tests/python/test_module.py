import importlib
import inspect
import sys

import pytest

import _zel


def panic_type():
    with pytest.raises(BaseException) as info:
        open_bad_stream()
    return type(info.value)


def open_bad_stream():
    import tempfile

    with tempfile.NamedTemporaryFile(suffix=".zel", delete=False) as f:
        f.write(b"NOPE and more bytes")
    return _zel.Reader(f.name)


NAMES = ["enable", "frame_mark", "record_metric", "record_metric_unit", "flush"]
NAMES += ["Scope", "Reader", "Frame"]


def test_public_names_in_order_and_reimport_returns_same_module():
    first = sys.modules["_zel"]
    assert _zel.__all__ == NAMES
    del sys.modules["_zel"]
    again = importlib.import_module("_zel")
    assert again is first
    assert again.__all__ == NAMES


def test_package_reexports_module_names():
    import zel

    assert zel.__all__ == NAMES + ["profile", "load", "Capture", "flame"]
    assert all(getattr(zel, name) is getattr(_zel, name) for name in NAMES)


def test_function_docstrings_and_signatures():
    docs = {
        "enable": ("()", "Turn collection on; arms the recorder when `ZEL_RECORD` is set."),
        "frame_mark": ("()", "Mark a frame boundary (one captured record per call)."),
        "record_metric": (
            "(name, value)",
            "Record the latest value of a named scalar for the current frame.",
        ),
        "record_metric_unit": (
            "(name, unit)",
            "Register a metric's unit once, for the plotted row's label.",
        ),
        "flush": ("()", "Flush captured frames to the `ZEL_RECORD` stream before exit."),
    }
    for name, (signature, doc) in docs.items():
        f = getattr(_zel, name)
        assert str(inspect.signature(f)) == signature
        assert f.__doc__ == doc
    assert "record_metric(name, value)" in pydoc_text(_zel.record_metric)


def pydoc_text(obj):
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        ("record_metric", ("n",), {}, "record_metric() missing 1 required positional argument: 'value'"),
        ("record_metric", (), {"name": "n"}, "record_metric() missing 1 required positional argument: 'value'"),
        ("record_metric", ("n", 1), {"unit": "x"}, "record_metric() got an unexpected keyword argument 'unit'"),
        ("record_metric", ("n",), {"name": "m", "value": 1}, "record_metric() got multiple values for argument 'name'"),
        ("record_metric", (1, 1.0), {}, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        ("record_metric", ("n", "1"), {}, "argument 'value': must be real number, not str"),
        ("record_metric_unit", ("n", None), {}, "argument 'unit': 'NoneType' object cannot be converted to 'PyString'"),
        ("record_metric_unit", (), {}, "record_metric_unit() missing 2 required positional arguments: 'name' and 'unit'"),
    ],
)
def test_metric_argument_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(_zel, func)(*args, **kwargs)
    assert str(info.value) == message
    if message.startswith("argument"):
        assert isinstance(info.value.__cause__, TypeError)


# Names of many lengths, kept alive, so that their addresses spread over every entry
# of the module's name cache.
INNER = [f"m.inner.{i}." + "x" * (16 * (i % 8)) for i in range(512)]


class Reentrant:
    """A value whose conversion records metrics of its own."""

    def __float__(self):
        for i, name in enumerate(INNER):
            _zel.record_metric(name, i)
        return 7.0


def test_metric_values_take_the_float_protocol_and_bad_calls_record_nothing(capture):
    capture.next_frame()
    _zel.record_metric("m.int", 3)
    _zel.record_metric(name="m.kw", value=Floaty())
    _zel.record_metric("m.outer", Reentrant())
    with pytest.raises(UnicodeEncodeError):
        _zel.record_metric("m.\ud800", 1.0)
    with pytest.raises(TypeError):
        _zel.record_metric("m.bad", object())
    user = capture.next_frame().user
    assert {k: v for k, v in user.items() if not k.startswith("m.inner.")} == {
        "m.int": 3.0, "m.kw": 2.5, "m.outer": 7.0
    }
    assert len(user) == 3 + len(INNER)


@pytest.mark.parametrize("func", ["enable", "frame_mark", "flush"])
def test_functions_without_parameters_refuse_arguments(func):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(_zel, func)(1)


def test_panic_exception_escapes_except_exception_and_module_stays_usable(tmp_path):
    caught = None
    try:
        try:
            open_bad_stream()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert type(caught).__qualname__ == "PanicException"
    assert type(caught).__module__ == "pyo3_runtime"
    assert type(caught).__mro__[1] is BaseException
    assert type(caught).__doc__.endswith(
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit."
    )
    assert len(caught.args) == 1 and "not a .zel stream" in caught.args[0]
    # the same class every time, and later calls work
    assert panic_type() is type(caught)
    empty = tmp_path / "e.zel"
    empty.write_bytes(b"")
    with pytest.raises(OSError):
        _zel.Reader(str(empty))


def test_class_docstrings_and_signatures():
    assert _zel.Reader.__doc__ == (
        "Streaming reader over a `.zel` capture: iterate it for [`Frame`]s.\n"
        "Stops at EOF or a partial trailing record, so it reads a finished or\n"
        "still-growing file."
    )
    if sys.version_info >= (3, 10):  # 3.9 drops a heap type's text signature
        assert str(inspect.signature(_zel.Reader)) == "(path)"
    assert _zel.Frame.__doc__ == (
        "One captured frame: `system` values aligned to [`Reader::columns`],\n"
        "`user` named scalars, and an optional raw flame frame."
    )
    assert _zel.Reader.columns.__doc__ == (
        "System-metric columns as `(name, unit)`, aligned to\n[`Frame::system`]."
    )
    assert _zel.Reader.user_columns.__doc__ == "User-metric columns declared so far, as `(name, unit)`."
    assert _zel.Frame.flame.__doc__ == "The frame's flame data as raw flame-frame bytes, or `None`."


def test_frame_has_no_constructor_and_classes_cannot_be_subclassed():
    with pytest.raises(TypeError, match="^No constructor defined for Frame$"):
        _zel.Frame()
    for cls in (_zel.Reader, _zel.Frame):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Reader() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "Reader() takes 1 positional argument but 2 were given"),
        (("a",), {"path": "b"}, "Reader() got multiple values for argument 'path'"),
        ((), {"file": "a"}, "Reader() got an unexpected keyword argument 'file'"),
        ((3,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((), {"path": b"x"}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_reader_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _zel.Reader(*args, **kwargs)
    assert str(info.value) == message
    if message.startswith("argument"):
        assert isinstance(info.value.__cause__, TypeError)
        assert message.endswith(str(info.value.__cause__))


def test_path_that_cannot_be_utf8_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        _zel.Reader("bad\udcff.zel")


def test_methods_refuse_a_foreign_self():
    with pytest.raises(TypeError, match="Reader"):
        _zel.Reader.__next__(5)
    with pytest.raises(TypeError, match="Reader"):
        _zel.Reader.columns.__get__(5)


def test_extension_exports_only_its_init_function():
    import shutil
    import subprocess

    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _zel.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit__zel"]


def test_import_in_a_sub_interpreter_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        # From 3.12 CPython itself refuses the module in an isolated interpreter.
        with pytest.raises(Exception, match="ImportError.*(sub-interpreters|subinterpreters)"):
            si.run_string(interp, "import _zel")
    finally:
        si.destroy(interp)
    assert _zel.Reader.__name__ == "Reader"  # the main interpreter's module is untouched
