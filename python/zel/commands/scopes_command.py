"""`zel scopes capture.zel`: figures per scope over the capture's flame frames.

zel scopes capture.zel                          # every flame frame, by self time
zel scopes capture.zel --by thread --sort p99   # per thread, slowest calls first
zel scopes capture.zel --frames SLOWEST --count 20 --csv > slow.csv
"""

import argparse
import csv
import json
import sys

from .shared import CommandError, counted, figure, load_capture, positive_int, printable, text_table

HELP = """\
How scopes are counted, over the chosen frames that carry flame data:

Each flame frame is clipped on its own, as the flame exports draw it: a scope lies
within its frame, within its parent, and after its elder sibling. A scope's self
time is its time less the time of the scopes directly inside it.

A scope longer than a frame (cut at frame marks) comes in every frame it spans: it
counts as one call, with its full duration, and adds to each frame only its time
inside that frame. A scope still open when its thread last reported counts as an
open call ("open"), and its duration runs to the end of that report.

"total" leaves out a scope inside another of the same name (recursion is counted
once); "self" counts every one. "self/frame" is the scope's self time per frame,
averaged over every chosen frame with flame data, counting 0 in frames without the
scope; "p99 self/frame" is its 99th percentile over the same frames. Call figures
(mean, p50, p99, max) are over the calls' full durations; percentiles interpolate
linearly between ranks.

A record that repeats an earlier record's flame frame (the recorder does that for a
frame without scopes) counts as a frame without flame data: the loader keeps a flame
frame only under the first record that carries it, so no scope is counted twice. A
flame frame that does not decode is left out with one warning line (--strict
refuses it).

Times are milliseconds. --json prints one object, --csv one row per scope; both list
every scope unless --limit says otherwise. CSV writes a NUL in a name as \\x00."""

TEXT_ROWS = 40  # table rows without --limit


def register(sub):
    from ..scope_stats import BY, SORTS

    p = sub.add_parser(
        "scopes",
        help="calls, total, self and per-frame time of each scope over flame frames",
        description="Figures per scope over the flame frames of a capture.\n\n" + HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("capture", help="the .zel file")
    p.add_argument(
        "--frames",
        default="ALL",
        metavar="SLOWEST|ALL|A:B",
        help=(
            "ALL (default): every frame with flame data; SLOWEST: the --count slowest frames "
            "that carry flame data; A:B: frames A to B-1 (like a Python slice, either side "
            "optional), or one frame number"
        ),
    )
    p.add_argument(
        "--count", type=positive_int, default=1, metavar="N", help="how many frames SLOWEST picks"
    )
    p.add_argument(
        "--by",
        choices=BY,
        default="name",
        help="one row per name (default), or per thread and name",
    )
    p.add_argument(
        "--sort",
        choices=tuple(SORTS),
        default="self",
        help="largest first: self (default) or total time, calls, or the calls' p99",
    )
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print one JSON object")
    out.add_argument("--csv", action="store_true", help="print CSV, a header and a row per scope")
    p.add_argument(
        "--limit", type=positive_int, metavar="N", help=f"at most N scopes (text: {TEXT_ROWS})"
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="refuse a damaged capture instead of reading the frames before the damage, "
        "and flame data that does not decode instead of leaving it out",
    )
    p.set_defaults(run=run)


def run(args):
    from ..export.common import SelectionError, nan_to_none, select_frames
    from ..scope_stats import scopes

    capture = load_capture(args.capture, strict=args.strict)
    damaged = []
    try:
        selection = select_frames(capture, args.frames, args.count)
        rows = nan_to_none(scopes(capture, selection, args.by, args.sort, damaged=damaged))
    except SelectionError as e:
        raise CommandError(str(e)) from None
    if damaged:
        k, why = damaged[0]
        if args.strict:
            raise CommandError(f"{args.capture}: frame {k}: damaged flame data: {why}")
        print(
            f"zel: warning: {args.capture}: left out "
            f"{counted(len(damaged), 'undecodable flame frame')} (frame {k}: {why}); "
            "--strict refuses them",
            file=sys.stderr,
        )
    decoded = sum(1 for k in selection.frames if k in capture.flame) - len(damaged)
    shown = rows[: args.limit] if args.limit else rows
    if args.json:
        doc = {
            "path": capture.path,
            "frames": selection.label,
            "flame_frames": decoded,
            "undecodable_flame_frames": len(damaged),
            "by": args.by,
            "sort": args.sort,
            "scopes": len(rows),
            "rows": shown,
        }
        sys.stdout.write(json.dumps(doc, indent=2, allow_nan=False) + "\n")
    elif args.csv:
        writer = csv.writer(sys.stdout, lineterminator="\n")
        fields = list(rows[0]) if rows else ["name"]
        writer.writerow(fields)
        for r in shown:  # the csv module of Python 3.10 and older cannot write a NUL
            writer.writerow([_nul(r[f]) for f in fields])
    else:
        print(render(capture.path, selection.label, decoded, rows, args, args.limit or TEXT_ROWS))
    return 0


def _nul(value):
    return value.replace("\0", "\\x00") if isinstance(value, str) else value


def render(path, label, decoded, rows, args, limit):

    sort = {"self": "self time", "total": "total time", "p99": "call p99"}.get(args.sort, "calls")
    read = "" if args.frames.upper() == "ALL" else f" ({counted(decoded, 'flame frame')})"
    scopes = counted(len(rows), "scope") + " (per thread)" * (args.by == "thread")
    head = f"{path}: {label}{read}, {scopes}, by {sort}"
    if not rows:
        return head + "\nno scope ran in these frames"
    by_thread = args.by == "thread"
    opened = any(r["open_calls"] for r in rows[:limit])
    header = ["scope"] + ["thread"] * by_thread + ["calls"] + ["open"] * opened
    header += ["frames", "self", "total", "self/frame", "p99 self/frame"]
    header += ["call mean", "call p50", "call p99", "call max"]
    table = []
    for r in rows[:limit]:
        line = [printable(r["name"])] + ([printable(r["thread"], 24)] if by_thread else [])
        line += [f"{r['calls']:,}"] + [f"{r['open_calls']:,}" if r["open_calls"] else ""] * opened
        line.append(f"{r['frames']:,}")
        for key in ("self_ms", "total_ms", "self_per_frame_ms", "self_per_frame_p99_ms"):
            line.append(figure(r[key]))
        for key in ("call_mean_ms", "call_p50_ms", "call_p99_ms", "call_max_ms"):
            line.append(figure(r[key]))
        table.append(line)
    lines = [
        head,
        "times in ms; zel scopes --help says how they are counted",
        "",
        text_table(table, header),
    ]
    if len(rows) > limit:
        lines.append(f"... {len(rows) - limit:,} more (--limit, --json or --csv show them)")
    return "\n".join(lines)
