"""The units of an exported table, for formats that have no place for them (CSV and
JSON lines): a sidecar OUT.units.json beside the output, {"column": "unit", ...} with
every column in table order ("" for no unit), which `json.load`, pandas
(`pd.read_json(path, typ="series")`) and DuckDB (`read_json_auto`) read as they are."""

import contextlib
import json

from .common import open_replacing


def sidecar_path(path):
    """Where the units of the table at `path` go."""
    return f"{path}.units.json"


@contextlib.contextmanager
def with_sidecar(capture, path):
    """A block that writes the table at `path`; the sidecar takes its place after it,
    and neither file is left behind when the block fails."""
    with open_replacing(sidecar_path(path)) as f:
        json.dump({"frame": "", **capture.units}, f, indent=1, ensure_ascii=False)
        f.write("\n")
        yield
