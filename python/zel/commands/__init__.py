"""The subcommands of `zel`, in the order `zel --help` lists them. Each module has
`register(subparsers)`, which adds its parser and sets `run(args) -> exit status`."""

from . import (
    compare_command,
    export_command,
    flame_command,
    record_command,
    report_command,
    scopes_command,
    summary_command,
    watch_command,
)

COMMANDS = [
    record_command,
    summary_command,
    scopes_command,
    export_command,
    report_command,
    flame_command,
    compare_command,
    watch_command,
]
