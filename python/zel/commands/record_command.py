"""`zel record -o capture.zel [--flame] [--every N] -- script.py args...`: runs a
Python program with recording armed, as `python script.py args...` would run it. The
program marks its own frames (`zel.frame_mark()`); this arms the recorder before it
starts and flushes when it ends, however it ends. Beside the capture it writes the
run's details (`zel.run_details`)."""

import argparse
import os
import runpy
import sys

from .. import _native, run_details
from .shared import CommandError, UsageError, check_output, positive_int

# The first bytes of every .zel stream (record/stream_format.h).
MAGIC = b"ZEL1"

USAGE = (
    "%(prog)s [-h] -o CAPTURE [--flame] [--every N] [--max-frames N] "
    "[--max-flame-frames N] [--force] -- (script.py | -m module) [args ...]"
)


def register(sub):
    p = sub.add_parser(
        "record",
        usage=USAGE,
        help="run a Python script (or -m module) with recording armed",
        description="Run a Python program with recording armed, as python runs it: sets "
        "ZEL_RECORD and the other ZEL_RECORD_* variables, calls zel.enable() before the "
        "program starts, and flushes when it ends. The program calls zel.frame_mark() once "
        "per frame. Beside the capture, CAPTURE.meta.json holds the run details (command "
        "line, host, Python and zel versions, start time, working directory, git commit), "
        "written before the program starts. Exits as the program does: its exit status, 1 "
        "with its traceback when it fails, 130 on Ctrl-C.",
    )
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="CAPTURE",
        help="the capture to write; {pid}, {host}, {rank} and {time} are replaced, "
        "so that each process gets a file of its own",
    )
    p.add_argument("--flame", action="store_true", help="attach flame frames (scope trees)")
    p.add_argument(
        "--every",
        type=positive_int,
        metavar="N",
        help="a flame frame every N-th frame (turns --flame on)",
    )
    p.add_argument(
        "--max-frames",
        type=positive_int,
        metavar="N",
        help="record the first N frames only; the program runs on",
    )
    p.add_argument(
        "--max-flame-frames",
        type=positive_int,
        metavar="N",
        help="attach flame data to at most N frames; later frames are still recorded",
    )
    p.add_argument("--force", action="store_true", help="overwrite an output that is not a capture")
    p.add_argument("program", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    p.set_defaults(run=run)


def _check_output(path, script, force):
    """Refuses, before the program starts, an output the writer could not create, the
    script itself, or (without `force`) a file that is not a capture."""
    check_output(path, [script] if script else [])
    if force or not os.path.isfile(path):
        return
    with open(path, "rb") as f:
        head = f.read(len(MAGIC))
    if not MAGIC.startswith(head):  # an empty file, or a header cut short, is a capture
        raise UsageError(f"{path}: exists and is not a capture; --force overwrites it")


def _exit_status(code):
    """What `python` makes of `sys.exit(code)`: None is 0, a number is itself, anything
    else is printed on standard error and gives 1."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    sys.stderr.write(f"{code}\n")
    return 1


def _print_traceback(e):
    """The program's traceback as `python` prints it, without the frames of zel and
    runpy that led into the program."""
    tb = e.__traceback__
    while tb is not None and tb.tb_frame.f_globals.get("__name__") in ("runpy", __name__):
        tb = tb.tb_next
    sys.stdout.flush()
    # The hook prints the traceback the exception holds, not the one it is given.
    sys.excepthook(type(e), e.with_traceback(tb), tb)


def _run_script(path):
    """Runs the file at `path` as the module __main__, as `python path` does: its
    __file__ is the absolute path (runpy would give it sys.argv[0] as well), its
    source decoded by its coding line."""
    import builtins
    import types

    with open(path, "rb") as f:
        source = f.read()
    main = types.ModuleType("__main__")
    main.__dict__.update(__file__=path, __cached__=None, __builtins__=builtins)
    code = compile(source, path, "exec", dont_inherit=True)
    previous = sys.modules["__main__"]
    sys.modules["__main__"] = main
    try:
        exec(code, main.__dict__)
    finally:
        sys.modules["__main__"] = previous


def _target(program):
    """A function that runs the program as the main module, as `python script.py args`
    or `python -m module args` would, with sys.argv and sys.path[0] set the same way."""
    if program[0] == "-m":
        if len(program) < 2:
            raise UsageError("-m needs a module name")
        import importlib.util

        module, argv, path0 = program[1], [program[1]] + program[2:], os.getcwd()
        sys.path.insert(0, path0)  # as `python -m` has it, for finding the module too
        try:
            found = importlib.util.find_spec(module) is not None
        except (ImportError, ValueError):
            found = False
        finally:
            sys.path.pop(0)
        if not found:
            raise UsageError(f"{module}: no such module")
        run = lambda: runpy.run_module(module, run_name="__main__", alter_sys=True)  # noqa: E731
    else:
        if not os.path.isfile(program[0]):
            raise UsageError(f"{program[0]}: no such script")
        script = os.path.abspath(program[0])
        argv, path0 = list(program), os.path.dirname(script)
        run = lambda: _run_script(script)  # noqa: E731

    def target():
        sys.argv[:] = argv
        sys.path[0] = path0
        run()

    return target


def run(args):
    program = args.program[1:] if args.program[:1] == ["--"] else list(args.program)
    if not program:
        raise UsageError("no program to run: give `-- script.py [args ...]`")
    script = None if program[0] == "-m" else program[0]
    # ZEL_RECORD keeps the placeholders, so that processes the program starts name
    # files of their own; this process's own file is checked now.
    path = _native.expand_record_path(args.output)
    _check_output(path, script, args.force)
    target = _target(program)
    # Before anything is written, so that git does not count this run's files as changes.
    details = run_details.gather(program, script=script, module=None if script else program[1])
    if args.flame or args.every is not None:
        os.environ["ZEL_RECORD_FLAME"] = "1"
    if args.every is not None:
        os.environ["ZEL_RECORD_EVERY"] = str(args.every)
    if args.max_flame_frames is not None:
        os.environ["ZEL_RECORD_MAX_FRAMES"] = str(args.max_flame_frames)
    if args.max_frames is not None:
        os.environ["ZEL_RECORD_STOP_AFTER"] = str(args.max_frames)

    import zel

    # Armed with the path expanded above, so that {time} cannot name another second
    # than the run details file's; the program and its children see the pattern.
    os.environ["ZEL_RECORD"] = path
    try:
        zel.enable()
    finally:
        os.environ["ZEL_RECORD"] = args.output
    sidecar = run_details.sidecar_path(path)
    try:
        if script is not None and os.path.isfile(sidecar) and os.path.samefile(sidecar, script):
            raise OSError(f"it is the script {script}")
        run_details.write(path, details)
    except OSError as e:  # the capture may still be written: the run goes on
        print(f"zel record: warning: {sidecar}: not written: {e.strerror or e}", file=sys.stderr)
    try:
        target()
        status = 0
    except SystemExit as e:
        status = _exit_status(e.code)
    except KeyboardInterrupt as e:
        _print_traceback(e)
        status = 130
    except BaseException as e:  # noqa: BLE001 - the program failed: python's traceback
        _print_traceback(e)
        status = 1
    try:
        zel.flush()
    except BaseException as e:  # noqa: BLE001 - a failed writer raises PanicException
        raise CommandError(f"{args.output}: the capture could not be written: {e}") from None
    return status
