"""`zel summary capture.zel`: what a capture holds, at a glance."""

import argparse
import json
import sys

from .. import hitches, run_details, stats, why_slow
from ..export.common import QUIET, Progress, nan_to_none
from ..export.report import by_interest, column_figures, constant_groups, values_present
from .shared import (
    CommandError,
    add_hitch_options,
    add_slow_option,
    counted,
    figure,
    load_capture,
    positive_int,
    printable,
    text_table,
)

HELP = """\
The lines after the headline tell how the capture was recorded (host, start time,
command, git commit) when `zel record` left CAPTURE.meta.json beside it.

Frame time figures leave out the first frame, whose frame time (0.0) has no earlier
frame mark to measure from. Percentiles interpolate linearly between the two nearest
ranks. The 1% and 0.1% lows are 1000 divided by the mean frame time (ms) of the
slowest 1% and 0.1% of frames (at least one frame), so they read as FPS.

Column figures: min, mean and max over the finite values of the frames that carry
one, "frames" how many frames carry a value, "non-finite" how many of those are NaN
or infinite. Columns whose values (at least two) are all the same are one line per
value, columns without a value one line; the table shows 30 columns at most, the
system columns that vary and then the user columns with the most values (--json lists
every column).

Hitches: {hitch_text}. Their share is of the frames' total time.

Slow frames: among the frames that carry flame data, those at or above the --slow
frame time (p99 of every frame time by default) against the typical ones (p25..p75).
For each scope its mean self time per frame in each group (0 in a frame without it),
the difference and its share of the extra frame time; for each other column its mean
in each group. Scopes of every thread count. --json lists every scope and column."""

HELP = HELP.replace(
    "{hitch_text}", hitches.DEFINITION.format(factor=hitches.FACTOR, window=hitches.WINDOW)
)
TEXT_COLUMNS = 30  # table rows at most
TEXT_NAMES = 20  # names on one line of constant or empty columns at most
TEXT_GROUPS = 8  # lines of constant columns at most
BIG = 2_000_000  # values present from which a terminal gets a progress bar


def register(sub):
    p = sub.add_parser(
        "summary",
        help="frames, FPS, frame-time percentiles and lows, per-column figures, slowest frames",
        description="Summarise a capture.\n\n" + HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("capture", help="a .zel capture (one still being written is read so far)")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of tables")
    p.add_argument(
        "--slowest", type=positive_int, default=5, metavar="N", help="list the N slowest frames (5)"
    )
    add_slow_option(p)
    add_hitch_options(p)
    p.add_argument(
        "--strict",
        action="store_true",
        help="refuse a damaged capture instead of summarising the frames before the damage",
    )
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(run=run)


def top_scopes(flame_bytes, count=3):
    """The `count` scope names with the most self time in a flame frame, as
    [(name, ms)]; None when the flame data does not decode."""
    from .. import flame

    try:
        frame = flame.decode(flame_bytes)
    except flame.FlameError:
        return None
    return [(name, ns / 1e6) for name, ns in list(flame.self_times(frame).items())[:count]]


def _with_scopes(entry, flame_bytes):
    """`entry` with its "top_scopes", or "flame_undecodable": true."""
    top = top_scopes(flame_bytes)
    if top is None:
        entry["flame_undecodable"] = True
    else:
        entry["top_scopes"] = [{"name": n, "self_ms": ms} for n, ms in top]
    return entry


def summarise(
    capture,
    slowest=5,
    progress=QUIET,
    slow_rule=why_slow.SLOW,
    hitch_factor=hitches.FACTOR,
    hitch_window=hitches.WINDOW,
):
    """The summary as a JSON-ready dict (NaN becomes None). `progress` (an
    `export.common.Progress`) counts the values read, `values_present` in all."""
    times = stats.frame_times(capture)
    ft = stats.frame_time_stats(times)
    duration_ms = stats.total_ms(times)
    columns = column_figures(capture, progress)
    frame_ms = capture.columns["frame_ms"]
    # Slowest frames by frame time (frame 0 has none).
    order = stats.slowest_frames(capture, range(1, len(capture)))[:slowest]
    slow = []
    for i in order:
        entry = {"frame": i, "frame_ms": float(frame_ms[i])}
        slow.append(_with_scopes(entry, capture.flame[i]) if i in capture.flame else entry)
    # When none of the slowest frames carries flame data, the slowest ones that do.
    slow_flame = []
    if capture.flame and not any("top_scopes" in e for e in slow):
        for i in stats.slowest_frames(capture, capture.flame)[:slowest]:
            entry = {"frame": i, "frame_ms": float(frame_ms[i])}
            slow_flame.append(_with_scopes(entry, capture.flame[i]))
    damage = capture.damage
    out = {
        "path": capture.path,
        "run": run_details.load(capture.path),  # how it was recorded, or None
        "frames": len(capture),
        "duration_s": duration_ms / 1000.0,
        "flame_frames": len(capture.flame),
        "repeated_flame": capture.repeated_flame,
        "damage": damage and dict(damage._asdict()),
        "frame_time": ft,
        "columns": columns,
        "slowest": slow,
        "slowest_with_flame": slow_flame,
        "hitches": hitches.find(capture, hitch_factor, hitch_window, total=duration_ms),
        "why_slow": why_slow.analyse(capture, slow_rule),
    }
    del out["hitches"]["frames"]  # the worst ones say enough; the report marks them all
    return nan_to_none(out)


def _names(names, limit=TEXT_NAMES):
    shown = ", ".join(printable(n, 32) for n in names[:limit])
    return shown + (f", ... and {len(names) - limit:,} more" if len(names) > limit else "")


def render(s):
    ft = s["frame_time"]
    lines = [
        f"{s['path']}: {counted(s['frames'], 'frame')} over {figure(s['duration_s'], 2)} s, "
        f"mean {figure(ft['mean_fps'], 1)} FPS, {s['flame_frames']:,} flame frames"
    ]
    lines += run_details.describe(s.get("run"))
    if s["damage"]:
        d = s["damage"]
        lines.append(
            f"damaged at byte {d['offset']:,} ({d['message']}): "
            f"the figures cover the {d['frames']:,} frames before it"
        )
    if s["repeated_flame"]:
        lines.append(
            f"{s['repeated_flame']:,} records repeat a flame frame an earlier record "
            "carries; they count as frames without flame data"
        )
    lines += [
        "",
        "frame time (ms)  p50 {}  p90 {}  p99 {}  max {}".format(
            *(figure(ft[k]) for k in ("p50_ms", "p90_ms", "p99_ms", "max_ms"))
        ),
        "lows (FPS)       1% {}  0.1% {}".format(
            figure(ft["low_1pct_fps"], 1), figure(ft["low_01pct_fps"], 1)
        ),
        _hitch_line(s["hitches"]),
        "",
    ]
    shown = by_interest(s["columns"])
    nonfinite = any(c["nonfinite"] for c in shown)
    rows = [
        [
            printable(c["name"]),
            printable(c["unit"], 16, ""),
            figure(c["min"]),
            figure(c["mean"]),
            figure(c["max"]),
            f"{c['count']:,}",
        ]
        + ([f"{c['nonfinite']:,}" if c["nonfinite"] else ""] if nonfinite else [])
        for c in shown[:TEXT_COLUMNS]
    ]
    head = ["column", "unit", "min", "mean", "max", "frames"] + ["non-finite"] * nonfinite
    if rows:
        lines.append(text_table(rows, head))
    if len(shown) > TEXT_COLUMNS:
        lines.append(
            f"... {len(shown) - TEXT_COLUMNS:,} more columns (zel summary --json lists all)"
        )
    groups = list(constant_groups(s["columns"]).items())
    for value, names in groups[:TEXT_GROUPS]:
        lines.append(f"constant {_constant(value)}: {_names(names)}")
    if len(groups) > TEXT_GROUPS:
        more = sum(len(names) for _, names in groups[TEXT_GROUPS:])
        lines.append(f"constant, {len(groups) - TEXT_GROUPS:,} other values: {more:,} columns")
    empty = [c["name"] for c in s["columns"] if not c["count"]]
    if empty:
        lines.append(f"no values: {_names(empty)}")
    lines += _why_slow_lines(s["why_slow"])
    for key, title in (
        ("slowest", "slowest frames"),
        ("slowest_with_flame", "slowest frames with scope data"),
    ):
        if not s[key]:
            continue
        with_scopes = any("top_scopes" in e for e in s[key])
        lines += ["", title + (" (top scopes by self time)" if with_scopes else "")]
        for e in s[key]:
            scopes = ", ".join(
                f"{printable(t['name'], 32)} {figure(t['self_ms'], 2)} ms"
                for t in e.get("top_scopes", [])
            )
            if e.get("flame_undecodable"):
                scopes = "its flame data does not decode"
            lines.append(
                f"  frame {e['frame']:>8}  {figure(e['frame_ms'])} ms"
                + (f"  ({scopes})" if scopes else "")
            )
    return "\n".join(lines)


def _hitch_line(h):
    head = f"hitches          {h['count']:,}"
    if not h["count"]:
        return head + f" (no frame over {h['factor']:g}x the median of the {h['window']} before it)"
    worst = ", ".join(
        f"frame {w['frame']} {figure(w['frame_ms'], 1)} ms ({figure(w['ratio'], 1)}x)"
        for w in h["worst"][:3]
    )
    return head + f", {figure(100 * h['share'], 1)}% of the time; worst: {worst}"


SLOW_SCOPES = 5  # scopes the text names at most
SLOW_COLUMNS = 3


def _why_slow_lines(w):
    if w["note"]:
        return ["", f"slow frames: {w['note']}"]
    lines = [
        "",
        f"slow frames (>= {w['rule']}, {counted(w['slow_frames'], 'flame frame')}) take "
        f"{figure(w['extra_ms'], 2)} ms more than typical ones "
        f"(p25..p75, {counted(w['typical_frames'], 'flame frame')})",
    ]
    # Scopes that account for at least 1% of the extra time: the rest is noise.
    grew = [r for r in w["scopes"] if r["diff_ms"] > 0 and not (r["share"] or 0) < 0.01]
    grew = grew[:SLOW_SCOPES]
    width = max((len(printable(r["name"], 32)) for r in grew), default=0)
    for r in grew:
        share = f" ({figure(100 * r['share'], 0)}%)" if r["share"] is not None else ""
        lines.append(
            f"  {printable(r['name'], 32).ljust(width)}  +{figure(r['diff_ms'], 2)} ms{share}"
            f"  ({figure(r['typical_ms'], 2)} -> {figure(r['slow_ms'], 2)} ms per frame)"
        )
    changed = [c for c in w["columns"] if c["diff"] not in (0, None)][:SLOW_COLUMNS]
    if changed:
        lines.append(
            "  columns: "
            + ", ".join(
                f"{printable(c['name'], 32)} {figure(c['typical'])} -> {figure(c['slow'])}"
                for c in changed
            )
        )
    return lines


def _constant(value):
    return f"{value:,.6g}" if abs(value) < 1e15 else f"{value:.6g}"


def run(args):
    capture = load_capture(args.capture, strict=args.strict)
    total = values_present(capture)
    with Progress("summary: columns", total) as bar:
        bar.enabled = total >= BIG and not args.no_progress and sys.stderr.isatty()
        try:
            with run_details.warnings_on_one_line():
                s = summarise(
                    capture, args.slowest, bar, args.slow, args.hitch_factor, args.hitch_window
                )
        except CommandError as e:
            raise CommandError(f"{args.capture}: {e}") from None
    if args.json:
        # dumps, not dump: one write instead of one per token
        sys.stdout.write(json.dumps(s, indent=2, allow_nan=False) + "\n")
    else:
        print(render(s))
    return 0
