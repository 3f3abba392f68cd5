"""`zel export`: the frame table as CSV, JSON lines or Parquet; many captures as one
Parquet dataset with a `capture` column naming each source (`zel.export`)."""

import functools
import os

from ..export import csv, jsonl, parquet
from ..export.common import Progress
from .shared import CommandError, UsageError, check_output, counted, load_capture

WRITERS = {".csv": csv.write, ".jsonl": jsonl.write, ".parquet": parquet.write}


def register(sub):
    p = sub.add_parser(
        "export",
        help="the frame table as .csv, .jsonl or .parquet; many captures as a Parquet dataset",
        description="Write the frame table: one row per frame with its number and every column "
        "(empty/null where a frame has no value). The format follows the output's extension. "
        "With several captures, or an output that is a directory, write a Parquet dataset: one "
        "file per capture in that directory, each with a `capture` column naming its source.",
    )
    p.add_argument("captures", nargs="+", metavar="capture", help=".zel captures")
    p.add_argument(
        "-o", "--output", required=True, help="out.csv, out.jsonl, out.parquet or dataset/"
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="refuse a damaged capture instead of exporting the frames before the damage",
    )
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(run=run)


def run(args):
    out, progress = args.output, not args.no_progress
    load = functools.partial(load_capture, strict=args.strict)
    dataset = len(args.captures) > 1 or out.endswith(os.sep) or os.path.isdir(out)
    if not dataset:
        ext = os.path.splitext(out)[1].lower()
        if ext not in WRITERS:
            raise UsageError(
                f"{out}: unknown format {ext or '(no extension)'}; use one of {', '.join(WRITERS)}"
            )
        check_output(out, args.captures)
    else:
        check_output(out, args.captures, directory=True)
    try:
        if dataset:
            frames = parquet.write_dataset(args.captures, out, load, progress)
            print(
                f"wrote {frames:,} frames of {len(args.captures)} captures "
                f"to the Parquet dataset {out}"
            )
        else:
            capture = load(args.captures[0])
            with Progress(f"export {out}", len(capture), progress) as bar:
                WRITERS[ext](capture, out, bar)
            print(f"wrote {counted(len(capture), 'frame')} to {out}")
    except parquet.NoPyarrowError as e:
        raise CommandError(str(e)) from None
    except OSError as e:
        raise CommandError(f"{out}: {e.strerror or e}") from None
    return 0
