"""`zel export`: the frame table as CSV, JSON lines or Parquet; many captures as one
Parquet dataset with a `capture` column naming each source."""

import csv
import json
import math
import os
import sys

from .common import CommandError, check_output_dir, load_capture

FORMATS = (".csv", ".jsonl", ".parquet")
CHUNK = 65536  # rows written between progress updates


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
    p.add_argument("-o", "--output", required=True, help="out.csv, out.jsonl, out.parquet or dataset/")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    p.set_defaults(run=run)


class Progress:
    """A one-line progress bar on standard error, drawn only on a terminal."""

    def __init__(self, label, total, enabled):
        self.label, self.total = label, total
        self.enabled = enabled and total > CHUNK and sys.stderr.isatty()
        self.shown = -1

    def update(self, done):
        if not self.enabled:
            return
        pct = int(100 * done / self.total)
        if pct != self.shown:
            self.shown = pct
            bar = "#" * (pct // 4)
            sys.stderr.write(f"\r{self.label} [{bar:<25}] {pct:3d}%")
            sys.stderr.flush()

    def done(self):
        if self.enabled:
            sys.stderr.write("\n")


def _chunks(capture):
    """(start, stop) row ranges of at most CHUNK rows."""
    n = len(capture)
    return [(i, min(i + CHUNK, n)) for i in range(0, n, CHUNK)] or [(0, 0)]


def _column_lists(capture, start, stop):
    cols = {}
    for name, values in capture.columns.items():
        part = values[start:stop]
        cols[name] = part.tolist() if hasattr(part, "tolist") else list(part)
    return cols


def write_csv(capture, path, progress):
    names = list(capture.columns)
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["frame"] + names)
        for start, stop in _chunks(capture):
            cols = _column_lists(capture, start, stop)
            rows = zip(range(start, stop), *(cols[n] for n in names))
            w.writerows([x if not isinstance(x, float) or x == x else "" for x in row] for row in rows)
            progress.update(stop)


def write_jsonl(capture, path, progress):
    names = list(capture.columns)
    keys = ["frame"] + names
    with open(path, "w", encoding="utf-8") as f:
        for start, stop in _chunks(capture):
            cols = _column_lists(capture, start, stop)
            lines = []
            for row in zip(range(start, stop), *(cols[n] for n in names)):
                obj = {k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in zip(keys, row)}
                lines.append(json.dumps(obj, allow_nan=False))
            f.write("\n".join(lines) + ("\n" if lines else ""))
            progress.update(stop)


def _arrow_table(capture, source=None):
    table = capture.to_arrow()
    if source is not None:
        import pyarrow as pa

        column = pa.array([source] * len(capture), type=pa.string()).dictionary_encode()
        table = table.add_column(0, "capture", column)
    return table


def write_parquet(capture, path, progress, source=None):
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise CommandError(
            "writing Parquet needs pyarrow: pip install pyarrow (or pip install zel[arrow])"
        ) from None
    pq.write_table(_arrow_table(capture, source), path)
    progress.update(len(capture))


WRITERS = {".csv": write_csv, ".jsonl": write_jsonl, ".parquet": write_parquet}


def _write(writer, capture, path, label, progress, failed_path, **options):
    """Runs one writer with its progress bar; an OSError names `failed_path`."""
    bar = Progress(f"export {label}", len(capture), progress)
    try:
        writer(capture, path, bar, **options)
    except OSError as e:
        raise CommandError(f"{failed_path}: {e.strerror or e}") from None
    finally:
        bar.done()
    return len(capture)


def export_one(source, out, progress=True):
    ext = os.path.splitext(out)[1].lower()
    if ext not in WRITERS:
        raise CommandError(f"{out}: unknown format {ext or '(no extension)'}; use one of {', '.join(FORMATS)}")
    check_output_dir(out)
    return _write(WRITERS[ext], load_capture(source), out, out, progress, out)


def export_dataset(sources, out_dir, progress=True):
    """One Parquet file per capture in `out_dir`, named after it, with a `capture`
    column holding the source path as given."""
    os.makedirs(out_dir, exist_ok=True)
    used, total = set(), 0
    for source in sources:
        stem = os.path.splitext(os.path.basename(source))[0] or "capture"
        name, k = stem, 1
        while name in used:
            name, k = f"{stem}-{k}", k + 1
        used.add(name)
        path = os.path.join(out_dir, name + ".parquet")
        total += _write(write_parquet, load_capture(source), path, source, progress, out_dir, source=source)
    return total


def run(args):
    out = args.output
    progress = not args.no_progress
    if len(args.captures) > 1 or out.endswith(os.sep) or os.path.isdir(out):
        frames = export_dataset(args.captures, out, progress)
        print(f"wrote {frames:,} frames of {len(args.captures)} captures to the Parquet dataset {out}")
    else:
        frames = export_one(args.captures[0], out, progress)
        print(f"wrote {frames:,} frames to {out}")
    return 0
