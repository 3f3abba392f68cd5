"""A whole capture as columns, read in one pass by the native bulk reader.

capture = zel.load("capture.zel")
capture.columns["frame_ms"]        # NumPy array (a list without NumPy), NaN = no value
capture.present("loss")            # (frames, values): only the frames that hold a value
capture.units["frame_ms"]          # "ms"
capture.to_pandas()                # one row per frame, indexed by frame number

User columns are held as the values recorded, not as frames x names: a program that
records a new name every frame costs what its values cost. `capture.columns` builds a
dense column each time one is asked for; tools that go over every column use
`present` and `count`.

A recorded NaN or infinity is a value like any other: `present` and `mask` tell it
apart from a frame that holds no value, which `columns` shows as NaN too.
"""

import array
import os
import warnings
from collections import namedtuple
from collections.abc import Mapping

from . import _native
from ._native import NotACaptureError

try:
    import numpy as _np
except ImportError:  # NumPy is optional: columns become lists
    _np = None

# Column names that the tools' own output uses beside the capture's columns.
RESERVED_NAMES = ("frame", "capture")

Damage = namedtuple("Damage", "offset frames message")
Damage.__doc__ = """Where a capture stops being readable: `offset`, the byte at which the
damaged record starts; `frames`, how many whole frames come before it; `message`, what
is wrong with it."""


class DamagedCaptureError(ValueError):
    """A capture with a damaged record, loaded with strict=True."""


class DamagedCaptureWarning(UserWarning):
    """A capture with a damaged record, loaded with strict=False: every frame before
    the damage is there."""


def describe_damage(damage):
    """ "damaged at byte N: what is wrong" for a Damage."""
    return f"damaged at byte {damage.offset:,}: {damage.message}"


def _missing(extra, module):
    return ImportError(
        f"{module} is not installed; install it with `pip install {module}` "
        f"(or `pip install zel[{extra}]`)"
    )


def unique_names(names, n_system):
    """The names the tools show for a capture's columns, given as recorded (system
    columns first), and {shown: recorded} for those that differ. System columns and
    RESERVED_NAMES keep their names; a user column whose name is taken already becomes
    "user.NAME", then "user.NAME#2", "user.NAME#3", ... in column order."""
    taken = set(RESERVED_NAMES)
    shown, renamed = [], {}
    for i, name in enumerate(names):
        new = name
        if new in taken:
            base = name if i < n_system else f"user.{name}"
            new, k = base, 1
            while new in taken:
                k += 1
                new = f"{base}#{k}"
            renamed[new] = name
        taken.add(new)
        shown.append(new)
    return shown, renamed


class _Columns(Mapping):
    """name -> dense column, built from the sparse user values when asked for."""

    def __init__(self, capture):
        self._capture = capture

    def __getitem__(self, name):
        return self._capture.dense(name)

    def __iter__(self):
        return iter(self._capture.units)

    def __len__(self):
        return len(self._capture.units)

    def __contains__(self, name):
        return name in self._capture.units


class Capture:
    """Every whole frame of a capture: frame numbers, the system columns and the user
    columns, their units, and flame frames.

    - `columns`: name -> the column over every frame (NaN where a frame has no value);
      `present(name)`, `count(name)`, `mask(name)`: only the values recorded.
    - `renamed`: {shown name: recorded name} for user columns whose name clashes with
      a system column, with "frame" or "capture", or with an earlier column.
    - `flame`: frame number -> flame bytes, for the frames whose flame data is their
      own. `repeated_flame`: how many frames carried again a flame frame attached to
      an earlier frame (the recorder does that for a frame without scopes); they count
      as frames without flame data.
    - `damage`: a Damage when the capture was loaded with strict=False and has a
      damaged record; None otherwise.
    """

    def __init__(self, path, parts):
        (columns, n_system, n_frames, system, user, flames, self.flame_enabled,
         self.repeated_flame, damage) = parts  # fmt: skip
        self.path = path
        names, self.renamed = unique_names([name for name, _ in columns], n_system)
        self.units = {name: unit for name, (_, unit) in zip(names, columns)}
        self.system_columns = names[:n_system]
        self.user_columns = names[n_system:]
        self.damage = Damage(*damage) if damage is not None else None
        self._n = n_frames
        self.flame = dict(flames)
        self._system = {name: _numbers(b) for name, b in zip(self.system_columns, system)}
        self._user = {
            name: (_numbers(frames, "q"), _numbers(values))
            for name, (frames, values) in zip(self.user_columns, user)
        }
        self.frames = _np.arange(n_frames, dtype=_np.int64) if _np else list(range(n_frames))
        self.columns = _Columns(self)

    def __len__(self):
        return self._n

    def __repr__(self):
        return (
            f"<zel.Capture {self.path!r}: {len(self)} frames, "
            f"{len(self.system_columns)} system and {len(self.user_columns)} user columns, "
            f"{len(self.flame)} flame frames>"
        )

    def present(self, name):
        """(frames, values) of the frames that hold a value of column `name`, frame
        numbers ascending; a recorded NaN or infinity is a value. KeyError for a name
        the capture does not have."""
        if name in self._system:
            return self.frames, self._system[name]
        return self._user[name]

    def count(self, name):
        """How many frames hold a value of column `name`."""
        return self._n if name in self._system else len(self._user[name][0])

    def count_in(self, name, start, stop):
        """How many of frames start..stop-1 hold a value of column `name`."""
        if name in self._system:
            return max(0, min(stop, self._n) - start)
        frames = self._user[name][0]
        if _np is not None:
            lo, hi = _np.searchsorted(frames, (start, stop))
            return int(hi - lo)
        return sum(1 for k in frames if start <= k < stop)

    def mask(self, name):
        """True for each frame that holds a value of column `name` (a recorded NaN
        included): what `columns[name]` cannot say."""
        frames, _ = self.present(name)
        if _np is not None:
            out = _np.zeros(self._n, dtype=bool)
            out[frames] = True
            return out
        out = [False] * self._n
        for k in frames:
            out[k] = True
        return out

    def dense(self, name, start=0, stop=None):
        """Column `name` over frames start..stop-1 (all by default), NaN where a frame
        holds no value: `columns[name]` for a part of the capture."""
        stop = self._n if stop is None else min(stop, self._n)
        if name in self._system:
            return self._system[name][start:stop]
        frames, values = self._user[name]
        if _np is not None:
            lo, hi = _np.searchsorted(frames, (start, stop))
            out = _np.full(max(0, stop - start), _np.nan)
            out[frames[lo:hi] - start] = values[lo:hi]
            return out
        out = [float("nan")] * max(0, stop - start)
        for k, v in zip(frames, values):
            if start <= k < stop:
                out[k - start] = v
        return out

    def to_pandas(self):
        """A DataFrame with one row per frame, indexed by frame number (NaN where a
        frame has no value; `mask` tells a recorded NaN apart); units in
        `df.attrs["units"]`."""
        try:
            import pandas as pd
        except ImportError:
            raise _missing("pandas", "pandas") from None
        df = pd.DataFrame(dict(self.columns), index=pd.Index(self.frames, name="frame"))
        df.attrs["units"] = dict(self.units)
        return df

    def to_arrow(self):
        """A pyarrow Table with a `frame` column and one float64 column per metric:
        null where a frame has no value, a recorded NaN or infinity kept as such; each
        field carries its unit in its metadata."""
        try:
            import pyarrow as pa
        except ImportError:
            raise _missing("arrow", "pyarrow") from None
        fields = [pa.field("frame", pa.int64())]
        arrays = [pa.array(self.frames, type=pa.int64())]
        for name in self.units:
            fields.append(pa.field(name, pa.float64(), metadata={"unit": self.units[name]}))
            values = self.dense(name)
            if name in self._system:
                arrays.append(pa.array(values, type=pa.float64()))
                continue
            absent = self.mask(name)
            absent = ~absent if _np is not None else [not p for p in absent]
            arrays.append(pa.array(values, type=pa.float64(), mask=absent))
        return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


def _numbers(b, code="d"):
    """The float64 ("d") or int64 ("q") numbers in bytes `b`: a NumPy view, or a list."""
    if _np is not None:
        return _np.frombuffer(b, dtype=_np.float64 if code == "d" else _np.int64)
    a = array.array(code)
    a.frombytes(b)
    return a.tolist()


def load(path, strict=True):
    """Reads the capture at `path` up to its last whole frame (a capture still being
    written included). Raises OSError for a missing or unreadable file, and
    NotACaptureError (a ValueError) for a file that is empty or not a capture at all.

    A damaged record raises DamagedCaptureError (a ValueError) naming the problem;
    with strict=False the frames before it are returned instead, with
    `capture.damage` saying where it starts, and a DamagedCaptureWarning."""
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
    capture = Capture(path, parts)
    if capture.damage is not None:
        said = describe_damage(capture.damage)
        if strict:
            raise DamagedCaptureError(f"{said} ({capture.damage.frames:,} whole frames before it)")
        warnings.warn(
            f"{path}: {said}; the {capture.damage.frames:,} frames before it are read",
            DamagedCaptureWarning,
            stacklevel=2,
        )
    return capture


def _is_empty(path):
    try:
        return os.path.getsize(path) == 0
    except OSError:
        return False
