"""The frame table as JSON lines: one object per frame, {"frame": k, column: value,
...}, holding only the columns the frame has a value for. JSON has no NaN or
infinity: a recorded one is written as the string "NaN", "Infinity" or "-Infinity"
(Python's `float()` and DuckDB's casts read those). The units go to a sidecar,
OUT.units.json (`units`)."""

import json
import math

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

from .common import QUIET, cells, chunks, open_replacing
from .units import with_sidecar

_ABSENT = object()


def _json_value(v):
    if v is _ABSENT or math.isfinite(v):
        return v
    return "NaN" if v != v else ("Infinity" if v > 0 else "-Infinity")


def _column(capture, name, start, stop):
    """Column `name` of frames start..stop-1 as JSON values (_ABSENT where a frame has
    none), and whether every frame has a plain number."""
    if _np is not None and capture.count_in(name, start, stop) == stop - start:
        dense = capture.dense(name, start, stop)
        if _np.isfinite(dense).all():
            return dense.tolist(), True
    values = cells(capture, name, start, stop, _ABSENT)
    if _np is None and all(v is not _ABSENT and math.isfinite(v) for v in values):
        return values, True
    return [_json_value(v) for v in values], False


def write(capture, path, progress=QUIET):
    """Writes `capture` (a `zel.load` result) to `path` and its units beside it;
    `progress`: a Progress."""
    names = list(capture.columns)
    keys = ["frame", *names]
    with with_sidecar(capture, path), open_replacing(path) as f:
        for start, stop in chunks(len(capture)):
            columns = [_column(capture, n, start, stop) for n in names]
            rows = zip(range(start, stop), *(values for values, _ in columns))
            if all(plain for _, plain in columns):  # the common case: no key to leave out
                docs = (dict(zip(keys, row)) for row in rows)
            else:
                docs = ({k: v for k, v in zip(keys, row) if v is not _ABSENT} for row in rows)
            lines = [json.dumps(doc, allow_nan=False, ensure_ascii=False) for doc in docs]
            f.write("\n".join(lines) + ("\n" if lines else ""))
            progress.update(stop)
