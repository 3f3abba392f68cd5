"""The `zel` command: record a program, then summarise, export, chart or follow its
capture. Each subcommand lives in a module of `zel.commands`."""

import argparse
import sys

from .commands import COMMANDS
from .commands.shared import CommandError


def build_parser():
    parser = argparse.ArgumentParser(
        prog="zel", description="Record a Python program frame by frame and look at its captures."
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.register(sub)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args) or 0
    except CommandError as e:
        print(f"zel {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Output piped into a command that stopped reading (`zel summary x | head`).
        sys.stderr.close()
        return 1
