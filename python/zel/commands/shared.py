"""What the subcommands share: opening a capture with a one-line error instead of a
traceback."""

import argparse
import functools
import math
import os


class CommandError(Exception):
    """A failure the command reports as one line on standard error; exit status 1."""

    status = 1


class UsageError(CommandError):
    """A command line, or a path, refused before any work; exit status 2."""

    status = 2


def positive_int(text):
    """An argparse type: a whole number of at least 1 (a count, a period, a limit)."""
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, not {text!r}")
    return value


def positive_float(text):
    """An argparse type: a number above 0 (an interval)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a number above 0, not {text!r}")
    return value


def add_hitch_options(parser):
    """--hitch-factor K and --hitch-window W, as `zel.hitches` takes them."""
    from .. import hitches

    parser.add_argument(
        "--hitch-factor",
        type=positive_float,
        default=hitches.FACTOR,
        metavar="K",
        help=f"a hitch exceeds K x the median before it ({hitches.FACTOR:g})",
    )
    parser.add_argument(
        "--hitch-window",
        type=positive_int,
        default=hitches.WINDOW,
        metavar="W",
        help=f"frames whose median a hitch is measured against ({hitches.WINDOW})",
    )


def add_slow_option(parser):
    """--slow pNN|MS, as `zel.why_slow` takes it."""
    from .. import why_slow

    def rule(text):
        try:
            why_slow.parse_slow(text)
        except why_slow.SlowRuleError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
        return text

    parser.add_argument(
        "--slow",
        type=rule,
        default=why_slow.SLOW,
        metavar="pNN|MS",
        help="slow frames: at or above this frame-time percentile or time in ms (p99)",
    )


def counted(n, noun):
    """ "1 frame", "2 frames", "1,000 frames"."""
    return f"{n:,} {noun}" + ("s" if n != 1 else "")


def printable(name, width=48, empty='""'):
    """A name as one line of at most `width` characters, for text output: control
    characters (newlines, tabs, NUL, ...) written as Python escapes them, an empty name
    as `empty`, and a longer name cut short with "…"."""
    text = "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in name) or empty
    return text if len(text) <= width else text[: width - 1] + "…"


def figure(v, digits=3):
    """A number for the text tables: `digits` decimals with thousands separators,
    or `digits` significant digits when that would hide it; "-" for None."""
    if v is None:
        return "-"
    if abs(v) >= 1e6 or (v != 0 and abs(v) < 10**-digits):
        return f"{v:.{digits}g}"
    return f"{v:,.{digits}f}"


def text_table(rows, header):
    """Rows of cells as an aligned text table under `header`: the first column to the
    left, the others to the right."""
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = []
    for k, r in enumerate([header] + rows):
        cells = [
            str(c).ljust(w) if i == 0 else str(c).rjust(w)
            for i, (c, w) in enumerate(zip(r, widths))
        ]
        lines.append("  ".join(cells).rstrip())
        if k == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def load_capture(path, strict=False):
    """The capture at `path` as columns (`zel.load`), or CommandError naming the file
    and the problem: missing, unreadable, not a capture, or (with `strict`) damaged.
    Without `strict`, a damaged capture gives the frames before the damage and one
    warning line on standard error. A user column shown under a new name (its name is
    taken) gets one note line."""
    import sys
    import warnings

    from ..table import DamagedCaptureWarning, describe_damage, load

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DamagedCaptureWarning)  # said below, in one line
            capture = load(path, strict=strict)
    except OSError as e:
        raise CommandError(f"{path}: {e.strerror or e}") from None
    except ValueError as e:
        raise CommandError(f"{path}: {e}") from None
    if "frame_ms" not in capture.columns:  # every tool needs it; a damaged header lacks it
        raise CommandError(f"{path}: damaged header: it names no frame_ms column")
    if capture.damage is not None:
        print(
            f"zel: warning: {path} is {describe_damage(capture.damage)}; "
            f"showing the {capture.damage.frames:,} frames before it (--strict refuses it)",
            file=sys.stderr,
        )
    renamed = [
        f"{printable(recorded, 32)} as {printable(shown, 32)}"
        for shown, recorded in capture.renamed.items()
    ]
    if renamed:
        more = f" and {len(renamed) - 3:,} more" if len(renamed) > 3 else ""
        print(
            f"zel: note: user columns whose name is taken are shown as user.NAME: "
            f"{', '.join(renamed[:3])}{more}",
            file=sys.stderr,
        )
    return capture


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)  # the same device and inode: links, other spellings
    except OSError:  # one of them does not exist (yet)
        return os.path.realpath(a) == os.path.realpath(b)


def _probe(probe, output):
    """Creates and removes the file `probe`, to learn whether its directory takes new
    files (a read-only file system refuses root too, which os.access does not tell)."""
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except FileExistsError:
        return
    except OSError as e:
        raise UsageError(f"{output}: {e.strerror}") from None
    os.unlink(probe)


def check_output(path, inputs=(), directory=False):
    """Refuses, before any work, an output that cannot or must not be written: its
    directory is missing or takes no new file, a directory stands where a file goes
    (with `directory`, a file where the directory goes), the file is not writable, or
    it is the same file as one of `inputs`. Outputs are written beside themselves and
    renamed into place, so the directory must take new files even when `path` exists."""
    bare = path.rstrip(os.sep) or path
    parent = os.path.dirname(os.path.abspath(bare))
    if not os.path.isdir(parent):
        raise UsageError(f"{path}: no such directory: {parent}")
    for source in inputs:
        if _same_file(bare, source):
            raise UsageError(f"{path}: the output would overwrite the input {source}")
    if directory:
        if os.path.exists(bare) and not os.path.isdir(bare):
            raise UsageError(f"{path}: Not a directory")
        # The files go inside it; a missing one is created in its parent.
        where = bare if os.path.isdir(bare) else parent
        _probe(os.path.join(where, f".zel-probe.tmp{os.getpid()}"), path)
        return
    if os.path.isdir(bare):
        raise UsageError(f"{path}: Is a directory")
    if os.path.exists(bare) and not os.access(bare, os.W_OK):
        raise UsageError(f"{path}: Permission denied")
    _probe(f"{bare}.tmp{os.getpid()}", path)


@functools.cache
def panic_exception():
    """The class of the PanicException that `_zel` raises for a damaged stream (it
    derives from BaseException, so `except Exception` lets it through)."""
    import _zel

    return _zel.PanicException
