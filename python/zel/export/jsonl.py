"""The frame table as JSON lines: one object per frame, {"frame": k, column: value,
...}, with null where a frame has no value."""

import json

from .common import QUIET, chunks, nan_to_none, open_replacing


def write(capture, path, progress=QUIET):
    """Writes `capture` (a `zel.load` result) to `path`; `progress`: a Progress."""
    names = list(capture.columns)
    keys = ["frame", *names]
    with open_replacing(path) as f:
        for start, stop in chunks(len(capture)):
            cols = [nan_to_none(capture.columns[name][start:stop]) for name in names]
            lines = [
                json.dumps(dict(zip(keys, row)), allow_nan=False)
                for row in zip(range(start, stop), *cols)
            ]
            f.write("\n".join(lines) + ("\n" if lines else ""))
            progress.update(stop)
