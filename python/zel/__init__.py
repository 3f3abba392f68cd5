"""zel: a frame-oriented performance recorder for Python programs.

The native module `_zel` does the work; this package re-exports its public names.
"""

import _zel
from _zel import *  # noqa: F401,F403

__all__ = list(_zel.__all__)
