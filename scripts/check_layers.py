"""Refuses an include that runs upward through the layers, or one not written from the
root. The layers, lowest first: base, profiler, gpu, record, capture, python/ext; a file
may include its own layer and those below it. Tests, fuzzers, benchmarks and examples
sit above every layer. Exits 1 and names each offending line."""

import pathlib
import re
import sys

LAYERS = ["base", "profiler", "gpu", "record", "capture", "python/ext"]
ABOVE_ALL = ["tests", "bench", "examples"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    for rank, layer in enumerate(LAYERS):
        if path == layer or path.startswith(layer + "/"):
            return rank
    if any(path.startswith(top + "/") for top in ABOVE_ALL):
        return len(LAYERS)
    return None


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    bad = []
    for top in LAYERS + ABOVE_ALL:
        for file in sorted((root / top).rglob("*")):
            if file.suffix not in (".h", ".cc") or "/corpus/" in file.as_posix():
                continue
            rel = file.relative_to(root).as_posix()
            own = layer_of(rel)
            for n, line in enumerate(file.read_text(errors="replace").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = m.group(1)
                rank = layer_of(target)
                if rank is None or not (root / target).is_file():
                    bad.append(f"{rel}:{n}: include not written from the root: {target}")
                elif rank > own:
                    bad.append(f"{rel}:{n}: {LAYERS[own]} includes {target}, a layer above it")
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
