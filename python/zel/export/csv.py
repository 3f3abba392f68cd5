"""The frame table as CSV: a header row, then one row per frame with its number and
every column. A frame without a value leaves its cell empty; a recorded NaN or
infinity is written `nan`, `inf` or `-inf`, which pandas and DuckDB read as floats.
The units go to a sidecar, OUT.units.json (`units`). A NUL character in a column
name, which the csv module of Python 3.10 and older cannot write, is written `\\x00`."""

import csv

from .common import QUIET, cells, chunks, open_replacing
from .units import with_sidecar


def write(capture, path, progress=QUIET):
    """Writes `capture` (a `zel.load` result) to `path` and its units beside it;
    `progress`: a Progress."""
    names = list(capture.columns)
    with with_sidecar(capture, path), open_replacing(path, newline="") as f:
        w = csv.writer(f)
        w.writerow(["frame", *(name.replace("\0", "\\x00") for name in names)])
        for start, stop in chunks(len(capture)):
            cols = [cells(capture, name, start, stop) for name in names]
            w.writerows(zip(range(start, stop), *cols))
            progress.update(stop)
