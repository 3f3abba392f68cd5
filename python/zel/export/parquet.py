"""The frame table as Parquet (`Capture.to_arrow`: a `frame` column and one float64
column per metric, null where a frame has no value, each field with its unit), and
many captures as one Parquet dataset: a file per capture in one directory, each with
a `capture` column naming its source, for DuckDB, pandas or Spark to read together."""

import contextlib
import os

from .common import QUIET, Progress, replacing


class NoPyarrowError(ImportError):
    """pyarrow, which writing Parquet needs, is not installed."""


def _parquet():
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise NoPyarrowError(
            "writing Parquet needs pyarrow: pip install pyarrow (or pip install zel[arrow])"
        ) from None
    return pq


def write(capture, path, progress=QUIET, source=None):
    """Writes `capture` (a `zel.load` result) to `path`; with `source`, a first column
    `capture` holds it in every row."""
    pq = _parquet()
    table = capture.to_arrow()
    if source is not None:
        import pyarrow as pa

        column = pa.array([source] * len(capture), type=pa.string()).dictionary_encode()
        table = table.add_column(0, "capture", column)
    with replacing(path) as tmp:
        pq.write_table(table, tmp)
    progress.update(len(capture))


def write_dataset(sources, out_dir, load, progress=True):
    """One Parquet file per capture of `sources` (paths) in `out_dir`, named after the
    capture (a name used already gets "-1", "-2", ...), with a `capture` column holding
    the source path as given. `load` reads a capture (`zel.load` or one that reports
    failures its own way); each is loaded when its turn comes. Returns the number of
    frames written. When one capture fails, the files written so far (and `out_dir`,
    if this made it) are removed again: a dataset is written whole or not at all."""
    _parquet()
    made = not os.path.isdir(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    used, written, total = set(), [], 0
    try:
        for source in sources:
            stem = os.path.splitext(os.path.basename(source))[0] or "capture"
            name, k = stem, 1
            while name in used:
                name, k = f"{stem}-{k}", k + 1
            used.add(name)
            capture = load(source)
            path = os.path.join(out_dir, name + ".parquet")
            with Progress(f"export {source}", len(capture), progress) as bar:
                write(capture, path, bar, source=source)
            written.append(path)
            total += len(capture)
    except BaseException:
        for path in written:
            with contextlib.suppress(OSError):
                os.unlink(path)
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(out_dir)
        raise
    return total
