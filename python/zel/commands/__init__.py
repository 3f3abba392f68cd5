"""The subcommands of `zel`, in the order `zel --help` lists them. Each module has
`register(subparsers)`, which adds its parser and sets `run(args) -> exit status`."""

from . import export, flame, record, report, summary, watch

COMMANDS = [record, summary, export, report, flame, watch]
