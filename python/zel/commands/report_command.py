"""`zel report CAPTURE -o REPORT.html [--baseline BASE]`: the capture as one
self-contained HTML page (headline figures, frame-time histogram, the columns that vary
over time with the hitches marked, why the slow frames are slow, merged flame graphs,
flame charts of the slowest frames; against a baseline run when given); see
`zel.export.report`."""

import os
import sys

from .. import run_details
from ..export.common import Progress
from .shared import (
    CommandError,
    add_hitch_options,
    add_slow_option,
    check_output,
    counted,
    load_capture,
    positive_int,
)


def register(subparsers):
    parser = subparsers.add_parser(
        "report",
        help="write an HTML report of a capture",
        description="Writes one HTML file that opens offline: headline frame-time figures, "
        "a frame-time histogram, up to 24 columns over time (the system columns that vary, "
        "then the user columns with the most values; the others listed by name, constant "
        "ones by value), the hitches marked on the frame-time plot, why the slow frames are "
        "slow (their scopes against the typical frames'), a merged flame graph of the "
        "typical frames and one of the slow frames coloured by what changed, and flame "
        "charts of the slowest frames that carry flame data. With --baseline, also both "
        "runs' frame times overlaid and the figures of `zel compare` with their intervals.",
    )
    parser.add_argument("capture", help="the .zel capture")
    parser.add_argument("-o", "--output", required=True, help="the HTML file to write")
    parser.add_argument(
        "--baseline",
        metavar="BASE",
        help="a capture of the same program to compare against (before the change)",
    )
    parser.add_argument(
        "--slowest",
        type=positive_int,
        default=8,
        metavar="N",
        help="flame charts of up to N of the slowest frames with flame data (default 8)",
    )
    add_slow_option(parser)
    add_hitch_options(parser)
    parser.add_argument(
        "--strict",
        action="store_true",
        help="refuse a damaged capture instead of reporting the frames before the damage",
    )
    parser.add_argument(
        "--no-progress", action="store_true", help="no progress bar, even on a terminal"
    )
    parser.set_defaults(run=run)


def run(args):
    from ..export.report import write_report

    check_output(args.output, [args.capture] + ([args.baseline] if args.baseline else []))
    capture = load_capture(args.capture, strict=args.strict)
    baseline = args.baseline and load_capture(args.baseline, strict=args.strict)
    shown = not args.no_progress and sys.stderr.isatty()

    def progress(stage, total):
        bar = Progress(f"report: {stage}", total)
        bar.enabled = shown and total > 0  # on a terminal whatever the size
        return bar

    try:
        with run_details.warnings_on_one_line():
            write_report(
                capture,
                args.output,
                slowest=args.slowest,
                progress=progress,
                slow=args.slow,
                hitch_factor=args.hitch_factor,
                hitch_window=args.hitch_window,
                baseline=baseline,
            )
    except OSError as e:
        raise CommandError(f"{args.output}: {e.strerror or e}") from None
    size = os.path.getsize(args.output)
    print(f"wrote {args.output}: {counted(len(capture), 'frame')}, {size / 1024:.0f} KB")
    return 0
