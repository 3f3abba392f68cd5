"""The frame table as CSV: a header row, then one row per frame with its number and
every column; a frame without a value leaves its cell empty, an infinity is `inf`."""

import csv

from .common import QUIET, chunks, nan_to_none, open_replacing


def write(capture, path, progress=QUIET):
    """Writes `capture` (a `zel.load` result) to `path`; `progress`: a Progress."""
    names = list(capture.columns)
    with open_replacing(path, newline="") as f:
        w = csv.writer(f)
        w.writerow(["frame", *names])
        for start, stop in chunks(len(capture)):
            cols = [nan_to_none(capture.columns[name][start:stop], True) for name in names]
            w.writerows(zip(range(start, stop), *cols))
            progress.update(stop)
