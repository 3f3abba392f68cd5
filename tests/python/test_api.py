# The Python surface of `_zel` and `zel`: one module behind both names, argument
# errors as CPython's own, metric values, what the extension refuses and exports.

import importlib
import shutil
import subprocess
import sys

import pytest
from conftest import PANIC

import _zel
import zel


def test_one_module_object_behind_both_names():
    assert all(getattr(zel, name) is getattr(_zel, name) for name in _zel.__all__)
    assert importlib.import_module(sys.modules.pop("_zel").__name__).PanicException is PANIC


ARGUMENT_ERRORS = [  # a call of each kind of signature that goes wrong, and the message
    (lambda: _zel.record_metric("n", 1, unit="x"), "got an unexpected keyword argument 'unit'"),
    (lambda: _zel.record_metric_unit(), "2 required positional arguments: 'name' and 'unit'"),
    (lambda: _zel.record_metric("n", "1"), "argument 'value': must be real number, not str"),
    (lambda: _zel.Reader("a", "b"), "Reader() takes 1 positional argument but 2 were given"),
    (lambda: _zel.enable(1), "enable() takes no arguments (1 given)"),
    (lambda: _zel.Frame(), "No constructor defined for Frame"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors_read_as_cpythons_own(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).endswith(message)  # CPython's own may name the module first
    if message.startswith("argument '"):  # caused by the conversion's own TypeError
        assert str(info.value).endswith(str(info.value.__cause__))


# Names of many lengths, kept alive, so that their addresses spread over every entry
# of the module's name cache; a value whose conversion records all of them.
INNER = [f"m.inner.{i}." + "x" * (16 * (i % 8)) for i in range(512)]


class Reentrant:
    def __float__(self):
        return [_zel.record_metric(name, i) for i, name in enumerate(INNER)] and 7.0


def test_metric_values_take_the_float_protocol_and_refused_calls_record_nothing(capture):
    capture.next_frame()
    for call in (_zel.Reader, _zel.Scope, lambda s: _zel.record_metric(s, 1.0)):
        pytest.raises(UnicodeEncodeError, call, "bad\udcff")
    pytest.raises(TypeError, _zel.record_metric, "m.bad", None)
    for method in (_zel.Reader.__next__, _zel.Reader.columns.__get__, _zel.Scope.__enter__):
        pytest.raises(TypeError, method, 5).match("Reader|Scope")
    [pytest.raises(TypeError, type, "Sub", (c,), {}) for c in (_zel.Reader, _zel.Frame, _zel.Scope)]
    assert _zel.Scope(name="kw").__exit__(_exc_type=None, _exc_value=None, _traceback=None) is False
    _zel.record_metric(name="m.kw", value=type("Floaty", (), {"__float__": lambda self: 2.5})())
    _zel.record_metric("m.outer", Reentrant())
    expected = {"m.kw": 2.5, "m.outer": 7.0, **{n: float(i) for i, n in enumerate(INNER)}}
    assert capture.next_frame().user == expected


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_extensions_export_only_their_init_function():
    for module, init in ((_zel, "PyInit__zel"), (zel._native, "PyInit__native")):
        nm = ["nm", "-D", "--defined-only", module.__file__]
        out = subprocess.run(nm, capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in out.splitlines()] == [init]
