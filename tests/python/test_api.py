"""The Python surface of `_zel` and `zel`: names, signatures, argument errors as
CPython's own, PanicException, and what the extension refuses."""

import importlib
import inspect
import shutil
import subprocess
import sys

import pytest

import _zel
import zel

NAMES = ["enable", "frame_mark", "record_metric", "record_metric_unit", "flush"]
NAMES += ["Scope", "Reader", "Frame"]


def test_public_names_signatures_and_one_module_object():
    assert _zel.__all__ == NAMES
    assert zel.__all__ == NAMES + ["profile", "load", "Capture", "flame"]
    assert all(getattr(zel, name) is getattr(_zel, name) for name in NAMES)
    first = sys.modules.pop("_zel")
    assert importlib.import_module("_zel") is first and first.__all__ == NAMES
    signatures = {"enable": "()", "frame_mark": "()", "flush": "()"}
    signatures.update(record_metric="(name, value)", record_metric_unit="(name, unit)")
    for name, signature in signatures.items():
        assert str(inspect.signature(getattr(_zel, name))) == signature
        assert getattr(_zel, name).__doc__
    if sys.version_info >= (3, 10):  # 3.9 drops a heap type's text signature
        assert str(inspect.signature(_zel.Reader)) == "(path)"
        assert str(inspect.signature(_zel.Scope)) == "(name)"
    assert (
        str(inspect.signature(_zel.Scope.__exit__))
        == "(self, /, _exc_type, _exc_value, _traceback)"
    )


REC, CONVERT = _zel.record_metric, "'{}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (REC, ("n",), {}, "record_metric() missing 1 required positional argument: 'value'"),
        (REC, ("n", 1), {"unit": "x"}, "record_metric() got an unexpected keyword argument 'unit'"),
        (REC, ("n",), {"name": "m"}, "record_metric() got multiple values for argument 'name'"),
        (REC, (1, 1.0), {}, "argument 'name': " + CONVERT.format("int")),
        (REC, ("n", "1"), {}, "argument 'value': must be real number, not str"),
        (_zel.record_metric_unit, (), {}, "2 required positional arguments: 'name' and 'unit'"),
        (_zel.Reader, ("a", "b"), {}, "Reader() takes 1 positional argument but 2 were given"),
        (_zel.Reader, (), {"path": b"x"}, "argument 'path': " + CONVERT.format("bytes")),
        (
            _zel.Scope("x").__exit__,
            (None, None),
            {},
            "1 required positional argument: '_traceback'",
        ),
        (_zel.enable, (1,), {}, "enable() takes no arguments (1 given)"),
        (_zel.Frame, (), {}, "No constructor defined for Frame"),
    ],
)
def test_argument_errors_read_as_cpythons_own(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value).endswith(message)  # CPython's own may name the module first
    if message.startswith("argument"):  # caused by the conversion's own TypeError
        assert isinstance(info.value.__cause__, TypeError)
        assert message.endswith(str(info.value.__cause__))


def test_refused_values_and_foreign_self():
    for call in (_zel.Reader, _zel.Scope, lambda s: _zel.record_metric(s, 1.0)):
        with pytest.raises(UnicodeEncodeError):
            call("bad\udcff")
    for method in (_zel.Reader.__next__, _zel.Reader.columns.__get__, _zel.Scope.__enter__):
        with pytest.raises(TypeError, match="Reader|Scope"):
            method(5)
    for cls in (_zel.Reader, _zel.Frame, _zel.Scope):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert _zel.Scope(name="kw").__exit__(_exc_type=None, _exc_value=None, _traceback=None) is False


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
    _zel.record_metric(name="m.kw", value=type("Floaty", (), {"__float__": lambda self: 2.5})())
    _zel.record_metric("m.outer", Reentrant())
    with pytest.raises(UnicodeEncodeError):
        _zel.record_metric("m.\ud800", 1.0)
    with pytest.raises(TypeError):
        _zel.record_metric("m.bad", object())
    user = capture.next_frame().user
    assert user == {
        "m.int": 3.0,
        "m.kw": 2.5,
        "m.outer": 7.0,
        **{n: float(i) for i, n in enumerate(INNER)},
    }


def test_panic_exception_escapes_except_exception(panic, tmp_path):
    bad = tmp_path / "bad.zel"
    bad.write_bytes(b"NOPE and more bytes")
    with pytest.raises(BaseException) as info:  # noqa: B017 - must not be an Exception
        try:
            _zel.Reader(str(bad))
        except Exception:
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is panic and panic.__mro__[1] is BaseException
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert len(info.value.args) == 1 and "not a .zel stream" in info.value.args[0]
    assert panic.__doc__.endswith("cause the\nPython interpreter to exit.")
    with pytest.raises(OSError):  # the module goes on working
        _zel.Reader(str(tmp_path / "absent.zel"))


def test_extension_exports_only_its_init_function():
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    for module, init in ((_zel, "PyInit__zel"), (zel._native, "PyInit__native")):
        out = subprocess.run(
            ["nm", "-D", "--defined-only", module.__file__],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        assert [line.split()[-1] for line in out.splitlines()] == [init]


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
