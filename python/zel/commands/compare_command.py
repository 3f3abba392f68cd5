"""`zel compare BASE NEW`: did the change make it better or worse, and is that more
than the noise between runs?"""

import argparse
import json
import math
import sys
import textwrap

from .. import compare as _compare
from .. import hitches as _hitches
from .. import run_details
from ..export.common import nan_to_none, open_replacing
from .shared import (
    CommandError,
    UsageError,
    add_hitch_options,
    check_output,
    load_capture,
    positive_int,
    printable,
    text_table,
)

GATE_FAILED = 3  # exit status when a --fail-if bound fails
TEXT_ROWS = 10

HITCHES = _hitches.DEFINITION.format(factor=_hitches.FACTOR, window=_hitches.WINDOW)
FIGURE_NAMES = ", ".join(f for f, _, _ in _compare.FIGURES)
HELP = "\n\n".join(
    textwrap.fill(" ".join(paragraph.split()), 88)
    for paragraph in f"""
Frame-time figures leave out each run's first frame. Each difference (new minus base)
has a 95% confidence interval from a circular block bootstrap: each run's frame times
are resampled {_compare.REPLICATES:,} times (--replicates) as blocks of consecutive
frames from random starts, wrapping around the end, so that correlated neighbouring
frames stay together. A run's block length follows from how far apart its frame times
still correlate (the automatic selection of Politis and White), or --block, and is at
least n/{_compare.MAX_BLOCKS:,} frames for n frames. The seed (--seed) fixes the
resampling, so the same captures always give the same intervals.

Hitches: {HITCHES}.

Scopes: the mean self time per flame frame of each scope (0 in a flame frame without
it), where both runs carry flame data. Columns: the mean of each column both runs have.

A gate for CI: --fail-if FIGURE>CHANGE or FIGURE<CHANGE, CHANGE a signed number, with %
for a relative change (p99_ms>+5%: fail if p99 grew by more than 5%; low_1pct_fps<-3%:
fail if the 1% low fell by more than 3%; hitches>+10: fail on more than 10 more
hitches). A bound fails only when the change crosses it AND the 95% interval of the
change lies wholly on that side of no change. Figures: {FIGURE_NAMES}.

Exit status: 0 every bound holds, {GATE_FAILED} a bound failed, 1 the work failed, 2 a
bad option or bound.""".strip().split("\n\n")
)


MAX_REPLICATES = 100_000


def _replicates(text):
    value = positive_int(text)
    if value > MAX_REPLICATES:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_REPLICATES:,}, not {text!r}")
    return value


def register(sub):
    p = sub.add_parser(
        "compare",
        help="two runs side by side, with confidence intervals and a gate for CI",
        description="Compare two captures of the same program.\n\n" + HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("base", help="the capture to compare against (before the change)")
    p.add_argument("new", help="the capture of the changed program")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of tables")
    p.add_argument(
        "--fail-if",
        action="append",
        default=[],
        metavar="BOUND",
        help=f"exit {GATE_FAILED} when this change is crossed and clear of noise, "
        "e.g. 'p99_ms>+5%%' (repeatable)",
    )
    p.add_argument("--junit", metavar="PATH", help="write the bounds as a JUnit XML report")
    p.add_argument(
        "--replicates",
        type=_replicates,
        default=_compare.REPLICATES,
        metavar="N",
        help=f"bootstrap replicates ({_compare.REPLICATES})",
    )
    p.add_argument("--seed", type=int, default=_compare.SEED, help="bootstrap seed (0)")
    p.add_argument("--block", type=positive_int, metavar="N", help="bootstrap block in frames")
    add_hitch_options(p)
    p.add_argument("--strict", action="store_true", help="refuse a damaged capture")
    p.set_defaults(run=run)


def _number(v, unit=""):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if isinstance(v, float) and math.isinf(v):
        return "inf" if v > 0 else "-inf"
    digits = 0 if unit == "" and float(v).is_integer() else (1 if unit == "FPS" else 3)
    return f"{v:,.{digits}f}"


def _signed(v, unit=""):
    text = _number(v, unit)
    return text if text.startswith("-") or text == "inf" else "+" + text


def _percent(v):
    if v is None or math.isnan(v):
        return ""
    if math.isinf(v):
        return "(new)" if v > 0 else ""
    return f"{v * 100:+.1f}%"


def render(result, details, checks):
    lines = []
    for side in ("base", "new"):
        about = result[side]
        lines.append(
            f"{side:<4}  {about['path']}: {about['frames']:,} frames, "
            f"{about['flame_frames']:,} flame frames"
        )
        lines += ["      " + line for line in run_details.describe(details[side])]
    m = result["method"]
    lines += [
        "",
        f"95% intervals from a circular block bootstrap ({m['replicates']:,} replicates, "
        f"blocks of {m['block_frames'][0]:,} / {m['block_frames'][1]:,} frames, "
        f"seed {m['seed']})",
    ]
    rows = []
    for f in result["figures"]:
        lo, hi = f["ci"]
        rows.append(
            [
                f["label"],
                _number(f["base"], f["unit"]),
                _number(f["new"], f["unit"]),
                _signed(f["diff"], f["unit"]),
                _percent(f["relative"]),
                f"[{_signed(lo, f['unit'])}, {_signed(hi, f['unit'])}]",
            ]
        )
    lines.append(text_table(rows, ["figure", "base", "new", "change", "", "95% interval"]))
    if result["scopes"]:
        lines += ["", "scope self time per flame frame (ms), largest change first"]
        rows = [
            [
                printable(s["name"]),
                _number(s["base_ms"], "ms"),
                _number(s["new_ms"], "ms"),
                _signed(s["diff_ms"], "ms"),
            ]
            for s in result["scopes"][:TEXT_ROWS]
        ]
        lines.append(text_table(rows, ["scope", "base", "new", "change"]))
    flame = [side for side in ("base", "new") if result[side]["flame_frames"]]
    if len(flame) == 1:
        lines += ["", f"scopes: only the {flame[0]} run carries flame data, so none are compared"]
    changed = [c for c in result["columns"] if c["diff"] != 0 and c["diff"] == c["diff"]]
    if changed:
        lines += ["", "column means, largest relative change first"]
        rows = [
            [
                printable(c["name"]),
                _number(c["base"], "ms"),
                _number(c["new"], "ms"),
                _signed(c["diff"], "ms"),
                _percent(c["relative"]),
            ]
            for c in changed[:TEXT_ROWS]
        ]
        lines.append(text_table(rows, ["column", "base", "new", "change", ""]))
    if checks:
        lines.append("")
        for c in checks:
            lines.append(_check_line(c))
    return "\n".join(lines)


def _check_line(c):
    change = _percent(c["change"]) if c["relative"] else _signed(c["change"])
    lo, hi = c["ci"]
    ci = f"[{_percent(lo)}, {_percent(hi)}]" if c["relative"] else f"[{_signed(lo)}, {_signed(hi)}]"
    if c["failed"]:
        verdict = "FAILED"
    elif c["crossed"]:
        verdict = "ok (crossed, but within the noise)"
    else:
        verdict = "ok"
    return f"{verdict:<6} {c['bound']}: change {change}, 95% interval {ci}"


def write_junit(path, checks, result):
    """The bounds as a JUnit XML report: one test case per bound, a failure for each
    bound that failed."""
    from xml.etree import ElementTree as ET

    suite = ET.Element(
        "testsuite",
        name="zel compare",
        tests=str(len(checks)),
        failures=str(sum(c["failed"] for c in checks)),
        errors="0",
    )
    for c in checks:
        case = ET.SubElement(suite, "testcase", classname="zel.compare", name=c["bound"])
        if c["failed"]:
            failure = ET.SubElement(case, "failure", message=_check_line(c))
            failure.text = f"base {result['base']['path']}\nnew {result['new']['path']}"
    out = ET.SubElement(suite, "system-out")
    out.text = "\n".join(_check_line(c) for c in checks)
    root = ET.Element("testsuites")
    root.append(suite)
    with open_replacing(path) as f:
        f.write(ET.tostring(root, encoding="unicode", xml_declaration=True) + "\n")


def run(args):
    try:
        for bound in args.fail_if:
            _compare.parse_bound(bound)
    except _compare.BoundError as e:
        raise UsageError(str(e)) from None
    if args.junit:
        check_output(args.junit, [args.base, args.new])
    base = load_capture(args.base, strict=args.strict)
    new = load_capture(args.new, strict=args.strict)
    for capture in (base, new):
        if len(capture) < 2:
            raise CommandError(f"{capture.path}: no frame time to compare (one frame or none)")
    result = _compare.compare(
        base,
        new,
        replicates=args.replicates,
        seed=args.seed,
        block=args.block,
        factor=args.hitch_factor,
        window=args.hitch_window,
    )
    checks = _compare.gate(result, args.fail_if)
    with run_details.warnings_on_one_line():
        details = {"base": run_details.load(args.base), "new": run_details.load(args.new)}
    if args.junit:
        write_junit(args.junit, checks, result)
    if args.json:
        doc = dict(result, run=details, gate=checks)
        sys.stdout.write(json.dumps(nan_to_none(doc), indent=2, allow_nan=False) + "\n")
    else:
        print(render(result, details, checks))
    return GATE_FAILED if any(c["failed"] for c in checks) else 0
