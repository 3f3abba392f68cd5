"""The `zel` command: record a program, then summarise, export, chart or follow its
capture. Each subcommand lives in a module of `zel.commands`.

Whatever goes wrong ends in one line on standard error, never a traceback: exit status
1 when the work failed (a damaged capture, a full disk), 2 when the command line or a
path was refused before any work began."""

import argparse
import sys

from .commands import COMMANDS
from .commands.shared import CommandError, panic_exception

EPILOG = """\
exit status: 0 done; 1 the work failed (a capture that cannot be read, an output
that cannot be written), with one line on standard error; 2 the command line or a
path was refused before any work began (a bad option, a missing directory, an output
that is one of the inputs); 3 `zel compare --fail-if`: a bound failed. `zel record`
exits as the program it runs does."""

# Options whose value may begin with "-" (`--frames -5:`, the last five frames), which
# argparse would take for an option of its own.
DASHED_VALUES = ("--frames",)


class Parser(argparse.ArgumentParser):
    """A parser whose usage errors are one line: what is wrong and where help is."""

    def error(self, message):
        message = " ".join(str(message).split())
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser():
    from . import __version__

    parser = Parser(
        prog="zel",
        description="Record a Python program frame by frame and look at its captures.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"zel {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.register(sub)
    return parser


def _join_dashed_values(argv):
    """`--frames -5:` as `--frames=-5:`; the program's own arguments after `--` (or
    after `record`'s script) are left alone."""
    out, k = [], 0
    while k < len(argv):
        arg = argv[k]
        if arg == "--" or (out and out[0] == "record"):
            return out + argv[k:]
        if arg in DASHED_VALUES and k + 1 < len(argv) and argv[k + 1].startswith("-"):
            out.append(f"{arg}={argv[k + 1]}")
            k += 2
        else:
            out.append(arg)
            k += 1
    return out


def _one_line(text):
    return " ".join(str(text).split()) or "(no message)"


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(_join_dashed_values(argv))
    except SystemExit as e:  # --help, --version, or a usage error already said
        return e.code
    say = f"zel {args.command}:"
    try:
        return args.run(args) or 0
    except CommandError as e:
        print(f"{say} {_one_line(e)}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Output piped into a command that stopped reading (`zel summary x | head`).
        sys.stderr.close()
        return 1
    except OSError as e:
        where = f"{e.filename}: " if e.filename is not None else ""
        print(f"{say} {where}{_one_line(e.strerror or e)}", file=sys.stderr)
        return 1
    except ValueError as e:  # a capture the loader refuses
        print(f"{say} {_one_line(e)}", file=sys.stderr)
        return 1
    except panic_exception() as e:  # a damaged stream, met by the native reader
        print(f"{say} {_one_line((str(e).splitlines() or [''])[0])}", file=sys.stderr)
        return 1
    except Exception as e:  # noqa: BLE001 - a fault of zel itself, still one line
        print(f"{say} internal error: {type(e).__name__}: {_one_line(e)}", file=sys.stderr)
        return 1
