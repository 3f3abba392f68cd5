"""Writes the fuzzers' seed corpora, tests/fuzz/corpus/<harness>/real-*, from real
captures: child processes record a few frames (metrics, nested scopes on two threads,
flame frames) and the corpus takes the streams, their flame frames and the scope
streams inside those. Inputs of past findings sit beside them under other names and
are kept. Run with the zel module installed: python tests/fuzz/make_corpus.py"""

import os
import pathlib
import struct
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))
from flame import Cursor, lz4_block_decompress  # noqa: E402

import _zel  # noqa: E402

CHILD = """
import sys, threading, zel
frames, metrics = int(sys.argv[1]), int(sys.argv[2])
zel.enable()
zel.record_metric_unit("m0", "ms")
def worker():
    with zel.Scope("worker"):
        with zel.Scope("inner \u00e9"):
            pass
for f in range(frames):
    with zel.Scope("frame"):
        with zel.Scope("update"):
            with zel.Scope("physics"):
                pass
        if f % 2:
            t = threading.Thread(target=worker)
            t.start()
            t.join()
    for m in range(metrics):
        zel.record_metric(f"m{m}", f * 10.0 + m)
    zel.frame_mark()
zel.flush()
"""


def record(path, frames, metrics, flame):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    env.update(ZEL_RECORD=str(path), ZEL_RECORD_FLAME="1" if flame else "0")
    subprocess.run([sys.executable, "-c", CHILD, str(frames), str(metrics)], env=env, check=True)
    return path.read_bytes()


def thread_streams(flame):
    """The raw scope streams of a flame frame's threads."""
    c = Cursor(flame)
    c.take(4)
    c.take(c.fixed("I"))
    packed = c.take(c.fixed("I") + 1)
    raw = Cursor(lz4_block_decompress(packed[5:], struct.unpack_from("<I", packed, 1)[0]))
    out = []
    for _ in range(raw.uint()):
        raw.option(raw.int)
        raw.text()
        out.append(raw.take(raw.uint()))
        raw.uint(), raw.uint(), raw.int(), raw.int()
    return out


saved = {}


def save(harness, data, limit=4096):
    if not data or len(data) > limit:
        return
    d = HERE / "corpus" / harness
    d.mkdir(parents=True, exist_ok=True)
    n = saved[harness] = saved.get(harness, 0) + 1
    (d / f"real-{n:02}").write_bytes(data)


def main():
    for old in (HERE / "corpus").glob("*/real-*"):
        old.unlink()
    with tempfile.TemporaryDirectory() as tmp:
        for frames, metrics, flame in [(1, 0, False), (3, 2, False), (2, 1, True), (4, 3, True)]:
            path = pathlib.Path(tmp) / f"c{frames}{metrics}{flame:d}.zel"
            data = record(path, frames, metrics, flame)
            save("stream", data)
            save("stream", data[: len(data) - 3])  # a partial trailing record
            for frame in _zel.Reader(str(path)):
                if frame.flame is None:
                    continue
                save("flame", frame.flame)
                for stream in thread_streams(frame.flame):
                    save("scope_stream", stream)


if __name__ == "__main__":
    main()
