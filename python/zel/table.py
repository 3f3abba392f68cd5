"""A whole capture as columns, read in one pass by the native bulk reader.

capture = zel.load("capture.zel")
capture.columns["frame_ms"]        # NumPy array (a list without NumPy)
capture.units["frame_ms"]          # "ms"
capture.to_pandas()                # one row per frame, indexed by frame number
"""

import array
import os

from . import _native
from ._native import NotACaptureError

try:
    import numpy as _np
except ImportError:  # NumPy is optional: columns become lists
    _np = None


def _missing(extra, module):
    return ImportError(
        f"{module} is not installed; install it with `pip install {module}` "
        f"(or `pip install zel[{extra}]`)"
    )


class Capture:
    """Every whole frame of a capture: frame numbers, the system columns and the user
    columns (NaN where a frame has no value), their units, and flame frames."""

    def __init__(self, path, columns, n_system, n_frames, values, flames, flame_enabled):
        self.path = path
        names = [name for name, _ in columns]
        self.units = dict(columns)
        self.system_columns = names[:n_system]
        self.user_columns = names[n_system:]
        self.flame_enabled = flame_enabled
        # frame number -> flame bytes, for the frames that carry one
        self.flame = dict(flames)
        if _np is not None:
            table = _np.frombuffer(values, dtype=_np.float64).reshape(len(names), n_frames)
            self.frames = _np.arange(n_frames, dtype=_np.int64)
            self.columns = {name: table[i] for i, name in enumerate(names)}
        else:
            flat = array.array("d")
            flat.frombytes(values)
            self.frames = list(range(n_frames))
            self.columns = {
                name: flat[i * n_frames : (i + 1) * n_frames].tolist()
                for i, name in enumerate(names)
            }

    def __len__(self):
        return len(self.frames)

    def __repr__(self):
        return (
            f"<zel.Capture {self.path!r}: {len(self)} frames, "
            f"{len(self.system_columns)} system and {len(self.user_columns)} user columns, "
            f"{len(self.flame)} flame frames>"
        )

    def to_pandas(self):
        """A DataFrame with one row per frame, indexed by frame number; units in
        `df.attrs["units"]`."""
        try:
            import pandas as pd
        except ImportError:
            raise _missing("pandas", "pandas") from None
        df = pd.DataFrame(dict(self.columns), index=pd.Index(self.frames, name="frame"))
        df.attrs["units"] = dict(self.units)
        return df

    def to_arrow(self):
        """A pyarrow Table with a `frame` column and one float64 column per metric
        (null where a frame has no value); each field carries its unit in its
        metadata."""
        try:
            import pyarrow as pa
        except ImportError:
            raise _missing("arrow", "pyarrow") from None
        fields = [pa.field("frame", pa.int64())]
        arrays = [pa.array(self.frames, type=pa.int64())]
        for name, col in self.columns.items():
            fields.append(pa.field(name, pa.float64(), metadata={"unit": self.units[name]}))
            arrays.append(pa.array(col, type=pa.float64(), from_pandas=True))  # NaN -> null
        return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


def load(path):
    """Reads the capture at `path` up to its last whole frame (a capture still being
    written included). Raises OSError for a missing or unreadable file, NotACaptureError
    (a ValueError) for a file that is empty or not a capture at all, and ValueError
    naming the problem for a damaged capture."""
    path = str(path)
    try:
        parts = _native.load(path)
    except _native.NotACaptureError:
        raise NotACaptureError(
            "not a capture: it does not start with the .zel magic bytes"
        ) from None
    except ValueError:
        if _is_empty(path):
            raise NotACaptureError("not a capture: the file is empty") from None
        raise
    columns, n_system, n_frames, values, flames, flame_enabled = parts
    return Capture(path, columns, n_system, n_frames, values, flames, flame_enabled)


def _is_empty(path):
    try:
        return os.path.getsize(path) == 0
    except OSError:
        return False
