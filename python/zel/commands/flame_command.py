"""`zel flame`: the flame data of chosen frames as a file for a trace viewer.

zel flame capture.zel -o slow.json                       # the slowest frame, Perfetto
zel flame capture.zel -o top.json --count 5              # the 5 slowest frames
zel flame capture.zel -o all.json --format speedscope --frames ALL
zel flame capture.zel -o mid.json --frames 100:200
zel flame capture.zel -o all.folded --merge --frames ALL   # one call tree, collapsed stacks
"""

import argparse
import sys

from .shared import CommandError, UsageError, check_output, counted, load_capture, positive_int

FORMATS = ("perfetto", "speedscope", "collapsed")
COLLAPSED_SUFFIXES = (".txt", ".folded", ".collapsed")

MERGE_HELP = """\
--merge writes one call tree merged by path over the chosen frames instead of the
frames in time: a path is a thread and the scope names from the outermost scope
down, and its figure is the self time (ns) of its scopes inside the frames, as zel
scopes counts it (each flame frame clipped on its own; a scope cut at frame marks
adds its time inside each frame). --format collapsed writes a line per path with
self time, `thread;outer;inner 1234`, leaving out paths without self time; in names
a ";" is written ":" and control characters as Python escapes them (\\n, \\x00),
an empty name as "". --format speedscope writes a sampled profile per thread, unit
nanoseconds, one sample per path weighted by its self time. Without --format,
--merge writes collapsed stacks to an output ending in .txt, .folded or .collapsed
and speedscope otherwise."""


def register(subparsers):
    p = subparsers.add_parser(
        "flame",
        help="export flame frames for ui.perfetto.dev or speedscope, or merged by path",
        description=(
            "Writes the scopes of the chosen frames as trace-event JSON (ui.perfetto.dev,\n"
            "chrome://tracing; with a track per thread, a frames track and a counter track\n"
            "per column) or as a speedscope file (an evented profile per thread).\n\n" + MERGE_HELP
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("capture", help="the .zel file")
    p.add_argument("-o", "--output", required=True, help="the file to write")
    p.add_argument(
        "--format",
        choices=FORMATS,
        help="default: perfetto; with --merge, collapsed or speedscope by the output's name "
        "(collapsed only with --merge, perfetto only without)",
    )
    p.add_argument(
        "--merge",
        action="store_true",
        help="one call tree merged by path over the chosen frames, self time per path",
    )
    p.add_argument(
        "--frames",
        default="SLOWEST",
        metavar="SLOWEST|ALL|A:B",
        help=(
            "SLOWEST (default): the --count slowest frames that carry flame data; ALL: every "
            "frame with flame data; A:B: frames A to B-1 (like a Python slice, either side "
            "optional), or one frame number. The frames track and the counters cover the "
            "span of the choice: from its first frame to its last (for ALL, from the first "
            "flame frame to the last), or A:B itself"
        ),
    )
    p.add_argument(
        "--count",
        type=positive_int,
        default=1,
        metavar="N",
        help="how many frames SLOWEST picks (default 1)",
    )
    p.add_argument(
        "--counters",
        choices=("span", "all", "none"),
        default="span",
        help=(
            "perfetto: which frames get frame slices and counter samples: span (default) the "
            "span of --frames, all every frame of the capture, none no counter tracks (frame "
            "slices over the span). A counter sample is written where its value changes; a "
            "NaN or infinite value is left out and counted in otherData.nonfinite_samples"
        ),
    )
    p.add_argument(
        "--counter-every",
        type=positive_int,
        default=1,
        metavar="N",
        help=(
            "perfetto: at most one counter sample per N frames, the first value of each run of "
            "N frames (default 1: every frame); frame slices stay one per frame"
        ),
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="refuse a damaged capture instead of exporting the frames before the damage, "
        "and flame data that does not decode instead of leaving it out",
    )
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(run=run)


def _format(args):
    if not args.merge:
        if args.format == "collapsed":
            raise UsageError("--format collapsed writes merged stacks: add --merge")
        return args.format or "perfetto"
    if args.format == "perfetto":
        raise UsageError("--merge writes collapsed stacks or speedscope, not perfetto")
    if args.format:
        return args.format
    return "collapsed" if args.output.lower().endswith(COLLAPSED_SUFFIXES) else "speedscope"


def run(args):
    from ..export import speedscope, trace
    from ..export.common import SelectionError, select_frames
    from ..flame import FlameError

    fmt = _format(args)
    check_output(args.output, [args.capture])
    capture = load_capture(args.capture, strict=args.strict)
    damaged = None if args.strict else []
    try:
        selection = select_frames(capture, args.frames, args.count)
        if args.merge:
            from ..export import merged as export

            n_threads, n_scopes = export.write(capture, selection, args.output, fmt, damaged)
        else:
            export = trace if fmt == "perfetto" else speedscope
            options = {}
            if export is trace:
                options = {"counters": args.counters, "counter_every": args.counter_every}
            n_threads, n_scopes = export.write(
                capture,
                selection,
                args.output,
                progress=not args.no_progress,
                damaged=damaged,
                **options,
            )
    except SelectionError as e:
        raise CommandError(str(e)) from None
    except FlameError as e:
        raise CommandError(f"{args.capture}: {e}") from None
    except OSError as e:
        raise CommandError(f"{args.output}: {e.strerror or e}") from None
    if damaged:
        k, why = damaged[0]
        print(
            f"zel: warning: {args.capture}: left out "
            f"{counted(len(damaged), 'undecodable flame frame')} (frame {k}: {why}); "
            "--strict refuses them",
            file=sys.stderr,
        )
    threads = f"{n_threads} thread{'s' * (n_threads != 1)}"
    if args.merge:  # paths with self time: a line or a sample each
        paths = counted(n_scopes, "path") + " with self time"
        what = f"{export.DESCRIPTIONS[fmt]}, {selection.label}, {threads}, {paths}"
    else:
        what = f"{export.DESCRIPTION}, {selection.label}, {threads}, {n_scopes} scopes"
    print(f"wrote {args.output}: {what}")
    return 0
