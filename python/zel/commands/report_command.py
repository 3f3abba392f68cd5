"""`zel report CAPTURE -o REPORT.html`: the capture as one self-contained HTML page
(headline figures, frame-time histogram, the columns that vary over time, flame charts
of the slowest frames); see `zel.export.report`."""

import os
import sys

from .. import run_details
from ..export.common import Progress
from .shared import CommandError, check_output, counted, load_capture, positive_int


def register(subparsers):
    parser = subparsers.add_parser(
        "report",
        help="write an HTML report of a capture",
        description="Writes one HTML file that opens offline: headline frame-time figures, "
        "a frame-time histogram, up to 24 columns over time (the system columns that vary, "
        "then the user columns with the most values; the others listed by name, constant "
        "ones by value) and flame charts of the slowest frames that carry flame data.",
    )
    parser.add_argument("capture", help="the .zel capture")
    parser.add_argument("-o", "--output", required=True, help="the HTML file to write")
    parser.add_argument(
        "--slowest",
        type=positive_int,
        default=8,
        metavar="N",
        help="flame charts of up to N of the slowest frames with flame data (default 8)",
    )
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

    check_output(args.output, [args.capture])
    capture = load_capture(args.capture, strict=args.strict)
    shown = not args.no_progress and sys.stderr.isatty()

    def progress(stage, total):
        bar = Progress(f"report: {stage}", total)
        bar.enabled = shown and total > 0  # on a terminal whatever the size
        return bar

    try:
        with run_details.warnings_on_one_line():
            write_report(capture, args.output, slowest=args.slowest, progress=progress)
    except OSError as e:
        raise CommandError(f"{args.output}: {e.strerror or e}") from None
    size = os.path.getsize(args.output)
    print(f"wrote {args.output}: {counted(len(capture), 'frame')}, {size / 1024:.0f} KB")
    return 0
