"""`zel record -o capture.zel [--flame] [--every N] -- script.py args...`: runs a
Python program with recording armed. The program marks its own frames
(`zel.frame_mark()`); this arms the recorder before it starts and flushes at exit."""

import os
import runpy
import sys

from .. import _native
from .shared import CommandError, check_output_dir


def register(sub):
    p = sub.add_parser(
        "record",
        help="run a Python script (or -m module) with recording armed",
        description="Run a Python program with recording armed: sets ZEL_RECORD and the other "
        "ZEL_RECORD_* variables, calls zel.enable() before the program starts, and flushes "
        "when it ends. The program calls zel.frame_mark() once per frame.",
    )
    p.add_argument(
        "-o",
        "--output",
        required=True,
        help="the capture to write; {pid}, {host}, {rank} and {time} are replaced, "
        "so that each process gets a file of its own",
    )
    p.add_argument("--flame", action="store_true", help="attach flame frames (scope trees)")
    p.add_argument("--every", type=int, metavar="N", help="a flame frame every N-th frame")
    p.add_argument("--max-frames", type=int, metavar="N", help="stop recording after N frames")
    p.add_argument("program", nargs="+", metavar="-- script.py args...", help="what to run")
    p.set_defaults(run=run)


def run(args):
    program = list(args.program)
    # ZEL_RECORD keeps the placeholders, so that processes the program starts name
    # files of their own; this process's own file is checked now.
    check_output_dir(_native.expand_record_path(args.output))
    if args.every is not None and args.every < 1:
        raise CommandError("--every must be at least 1")
    if args.max_frames is not None and args.max_frames < 0:
        raise CommandError("--max-frames must not be negative")
    os.environ["ZEL_RECORD"] = args.output
    if args.flame:
        os.environ["ZEL_RECORD_FLAME"] = "1"
    if args.every is not None:
        os.environ["ZEL_RECORD_EVERY"] = str(args.every)
    if args.max_frames is not None:
        os.environ["ZEL_RECORD_MAX_FRAMES"] = str(args.max_frames)

    import zel

    module = program[1] if program[0] == "-m" and len(program) > 1 else None
    if module is None and not os.path.isfile(program[0]):
        raise CommandError(f"{program[0]}: no such script")
    # The program sees itself as the main script, as `python script.py args` would.
    if module is not None:
        import importlib.util

        sys.argv = [module] + program[2:]
        sys.path[0] = os.getcwd()  # as `python -m` has it
        try:
            found = importlib.util.find_spec(module) is not None
        except ImportError:
            found = False
        if not found:
            raise CommandError(f"{module}: no such module")
        target = lambda: runpy.run_module(module, run_name="__main__", alter_sys=True)  # noqa: E731
    else:
        sys.argv = program
        sys.path[0] = os.path.dirname(os.path.abspath(program[0]))
        target = lambda: runpy.run_path(program[0], run_name="__main__")  # noqa: E731
    zel.enable()
    status = 0
    try:
        target()
    except SystemExit as e:
        status = e.code if isinstance(e.code, int) else (0 if e.code is None else 1)
    try:
        zel.flush()
    except BaseException as e:  # noqa: BLE001 - a failed writer raises PanicException
        raise CommandError(f"{args.output}: the capture could not be written: {e}") from None
    return status
