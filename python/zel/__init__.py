"""zel: a frame-oriented performance recorder for Python programs.

The native module `_zel` does the work; this package re-exports its public names and
adds `profile`, a decorator that wraps every call of a function in a `Scope`, and the
tools that read captures back: `load` (a capture as columns), `flame` (flame frames
as scope trees) and the `zel` command (`python -m zel`).

Importing the package also registers an exit hook that flushes the capture, so a
program that forgets to call `flush()` still keeps its last frames.
"""

import atexit as _atexit

import _zel
from _zel import *  # noqa: F401,F403

from . import flame
from ._profile import profile
from .table import Capture, DamagedCaptureError, DamagedCaptureWarning, load

__all__ = list(_zel.__all__) + [
    "profile",
    "load",
    "Capture",
    "DamagedCaptureError",
    "DamagedCaptureWarning",
    "flame",
]


def _find_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("zel")
    except PackageNotFoundError:  # run from a source tree, not installed
        return "0+unknown"


# Submodules that pull in more than a recorder needs (the exports, the report), imported
# when first used: `zel.report.write_report(...)` works after a plain `import zel`.
_LAZY = {"report": "zel.export.report", "export": "zel.export", "stats": "zel.stats"}


def __getattr__(name):
    if name == "__version__":  # installed: the package's version; a source tree: 0+unknown
        globals()[name] = _find_version()
        return globals()[name]
    if name in _LAZY:
        import importlib

        module = importlib.import_module(_LAZY[name])
        globals()[name] = module
        return module
    raise AttributeError(f"module 'zel' has no attribute {name!r}")


def _flush_at_exit():
    # A failed writer thread has already said why on standard error; exiting must
    # not add a traceback to that.
    try:
        _zel.flush()
    except BaseException:  # noqa: BLE001 - PanicException derives from BaseException
        pass


_atexit.register(_flush_at_exit)
