"""The frame table as JSON lines: one object per frame, {"frame": k, column: value,
...}, holding only the columns the frame has a value for. JSON has no NaN or
infinity: a recorded one is written as the string "NaN", "Infinity" or "-Infinity"
(Python's `float()` and DuckDB's casts read those). The units go to a sidecar,
OUT.units.json (`units`)."""

import json
import math

from .common import QUIET, cells, chunks, open_replacing
from .units import with_sidecar

_ABSENT = object()


def _json_value(v):
    if math.isfinite(v):
        return v
    return "NaN" if v != v else ("Infinity" if v > 0 else "-Infinity")


def write(capture, path, progress=QUIET):
    """Writes `capture` (a `zel.load` result) to `path` and its units beside it;
    `progress`: a Progress."""
    names = list(capture.columns)
    with with_sidecar(capture, path), open_replacing(path) as f:
        for start, stop in chunks(len(capture)):
            cols = [cells(capture, name, start, stop, _ABSENT) for name in names]
            lines = []
            for k, row in zip(range(start, stop), zip(*cols) if cols else [()] * (stop - start)):
                doc = {"frame": k}
                doc.update((n, _json_value(v)) for n, v in zip(names, row) if v is not _ABSENT)
                lines.append(json.dumps(doc, allow_nan=False, ensure_ascii=False))
            f.write("\n".join(lines) + ("\n" if lines else ""))
            progress.update(stop)
