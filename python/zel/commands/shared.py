"""What the subcommands share: opening a capture with a one-line error instead of a
traceback."""

import functools
import os


class CommandError(Exception):
    """A failure the command reports as one line on standard error, exit status 1."""


def load_capture(path):
    """The capture at `path` as columns (`zel.load`), or CommandError naming the file
    and the problem: missing, unreadable, not a capture, or damaged."""
    from .. import load

    try:
        return load(path)
    except OSError as e:
        raise CommandError(f"{path}: {e.strerror or e}") from None
    except ValueError as e:
        raise CommandError(f"{path}: {e}") from None


def check_output_dir(path):
    """Refuses an output path whose directory does not exist, before any work."""
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise CommandError(f"{path}: no such directory: {parent}")


@functools.cache
def panic_exception():
    """The class of the PanicException that `_zel` raises for a damaged stream (it
    derives from BaseException, so `except Exception` lets it through)."""
    import _zel

    return _zel.PanicException
