# Scope figures over flame frames (zel scopes, zel.stats.scopes) and the call tree merged
# by path (zel flame --merge), checked against zel.flame.merge of each frame, from a
# program with nested, recursive, long (cross-frame) and still open scopes on two threads.

import csv
import importlib.util
import io
import json
import random
import struct
import sys

import pytest
from conftest import frame, header, run_python

import zel
from zel import _native, flame, stats
from zel.cli import main
from zel.export.common import thread_labels
from zel.scope_stats import UndecodableFlameWarning

PROGRAM = """
import threading, time, zel
zel.enable()
def rec(n):
    with zel.Scope("rec"):
        time.sleep(0.0002)
        if n: rec(n - 1)
stop = threading.Event()
def worker():
    with zel.Scope("worker"):
        while not stop.is_set():
            with zel.Scope("chunk"): time.sleep(0.0003)
threading.Thread(target=worker).start()
with zel.Scope("main"):
    for i in range(40):
        with zel.Scope("step"):
            rec(i % 4)
        if i == 10: long = zel.Scope("long"); long.__enter__()
        if i == 20: long.__exit__(None, None, None)
        zel.frame_mark()
    still = zel.Scope("open"); still.__enter__()
    time.sleep(0.001)
    zel.frame_mark()
stop.set()
"""


@pytest.fixture(scope="module")
def scoped(tmp_path_factory):
    path = tmp_path_factory.mktemp("scopes") / "c.zel"
    run_python(PROGRAM, ZEL_RECORD=path, ZEL_RECORD_FLAME="1", ZEL_RECORD_EVERY="1")
    return path


def oracle(flames, by_thread):
    # ({key: figures}, {path: [calls, total, self]}, undecodable) from zel.flame alone.
    rows, paths, best, first, selfs, decoded, bad = {}, {}, {}, {}, [], 0, []
    for pos, data in enumerate(flames):
        try:
            f = flame.decode(data)
        except flame.FlameError:
            bad.append(pos)
            continue
        decoded += 1
        for t in f.threads:  # every instance tells how long its call lasted
            for s, _ in flame.walk(t.scopes):
                ident = ((t.name, t.start_ns), s.id, s.start_ns)
                if ident not in best or (best[ident].open, -best[ident].stop_ns) > (
                    s.open,
                    -s.stop_ns,
                ):
                    best[ident] = s
        in_frame = {}
        for tkey, roots in flame.merge([f]):
            stack = [(s, ((tkey,), ())) for s in roots]
            while stack:
                s, (path, keys) = stack.pop()
                key = (tkey, s.scope.name) if by_thread else s.scope.name
                path += (s.scope.name,)
                r = rows.setdefault(key, {"total": 0, "self": 0, "frames": 0, "calls": []})
                r["total"] += (s.stop_ns - s.start_ns) * (key not in keys)
                r["self"] += s.self_ns
                in_frame[key] = in_frame.get(key, 0) + s.self_ns
                node = paths.setdefault(path, [0, 0, 0])
                node[1:] = node[1] + s.stop_ns - s.start_ns, node[2] + s.self_ns
                first.setdefault((tkey, s.scope.id, s.scope.start_ns), (key, node))
                stack += [(c, (path, keys + (key,))) for c in s.children]
        selfs.append(in_frame)
        for key in in_frame:
            rows[key]["frames"] += 1
    for ident, (key, node) in first.items():
        rows[key]["calls"].append(best[ident])
        node[0] += 1
    out = {}
    for key, r in rows.items():
        full = sorted(s.stop_ns - s.start_ns for s in r["calls"])
        per = sorted(f.get(key, 0) for f in selfs)
        out[key] = (len(full), sum(s.open for s in r["calls"]), r["frames"], r["total"])
        out[key] += (r["self"], sum(full) / len(full), stats.percentile(full, 50))
        out[key] += (stats.percentile(full, 99), full[-1], sum(per) / decoded)
        out[key] += (stats.percentile(per, 99),)
    return out, paths, bad


def native(flames, by_thread):
    # As oracle() gives them, and {thread: label}.
    threads, rows, bad = _native.scope_stats(flames, by_thread)
    got = {(threads[r[0]], r[1]) if by_thread else r[1]: tuple(r[2:]) for r in rows}
    threads, nodes, bad_too = _native.scope_paths(flames)
    paths, made = {}, []
    for t, parent, name, calls, total, self_ns in nodes:
        made.append((made[parent] if parent >= 0 else (threads[t],)) + (name,))
        paths[made[-1]] = [calls, total, self_ns]
    assert bad == bad_too and len(paths) == len(nodes)
    return got, paths, bad, dict(zip(threads, thread_labels(threads)))


def test_native_figures_and_paths_match_the_flame_module(scoped):
    flames = [b for _, b in sorted(zel.load(scoped).flame.items())]
    flames.insert(3, flames[3][:40])  # does not decode
    for chosen in (flames, flames[::3]):  # every frame; long calls seen now and then
        for by_thread in (False, True):
            got, got_paths, bad, _ = native(chosen, by_thread)
            want, want_paths, want_bad = oracle(chosen, by_thread)
            assert (got_paths, bad) == (want_paths, want_bad)
            assert got.keys() == want.keys()
            for key, row in want.items():
                assert got[key][:5] == row[:5], key
                assert got[key][5:] == pytest.approx(row[5:], rel=1e-12), key
    names = native(flames, False)[0]
    # what the program did: 10 + 20 + 30 + 40 rec calls, whose total (the outermost
    # ones) is their self time; the outer scopes still open at the end; long cut at
    # some ten frame marks
    assert names["rec"][:2] == (100, 0) and names["rec"][3] == names["rec"][4]
    assert names["step"][:3] == (40, 0, 40) and names["long"][:2] == (1, 0)
    assert [names[n][1] for n in ("main", "worker", "open")] == [1, 1, 1]
    assert names["long"][2] >= 10 and names["main"][3] > names["main"][4]


def made_up_frame(rng):
    # A flame frame of up to three threads (two may share a name and start) of random
    # records: siblings out of order, with the same id and start, empty, outside the
    # frame or still open; ids 1..5, of which a random few are named (s1, s2, s3, s0).
    def uint(v):
        return bytes([v]) if v <= 250 else b"\xfc" + struct.pack("<I", v)

    def sint(v):
        return uint(2 * v if v >= 0 else -2 * v - 1)

    def text(t):
        return uint(len(t)) + t.encode()

    start = rng.randint(0, 60)
    stop = start + rng.randint(0, 120)
    n = rng.randint(1, 3)
    body = uint(n)
    for name, first in rng.choices([("", None), ("a", 5), ("a", 7)], k=n):
        body += (b"\x01" + sint(first) if first else b"\x00") + text(name)
        stream, depth, t = b"", 0, rng.randint(0, 100)
        for _ in range(rng.randint(0, 14)):
            if depth and rng.random() < 0.45:
                stream, depth = stream + b"\x29" + struct.pack("<q", t), depth - 1
            else:
                stream += struct.pack("<BIqBQ", 0x28, rng.randint(1, 5), t, 0, 2**64 - 1)
                depth += 1
            t += rng.choice([0, 0, 5, 10, -3])
        body += uint(len(stream)) + stream + b"\x00\x00" + sint(start) + sint(stop + 50)
    run = bytes([min(len(body), 15) << 4])  # one literal run: a valid LZ4 block
    if len(body) >= 15:
        run += b"\xff" * ((len(body) - 15) // 255) + bytes([(len(body) - 15) % 255])
    packed = struct.pack("<I", len(body)) + run + body
    named = rng.sample(range(1, 5), rng.randint(0, 4))
    names = uint(len(named)) + b"".join(
        b"\x01" + uint(i) + b"\x01" + text(f"s{i % 4}") + b"\x00\x00\x00" for i in named
    )
    meta = b"\x00" + sint(start) + sint(stop) + b"\x00\x00"
    return b"PFD4" + b"".join(
        struct.pack("<I", len(part)) + b"\x01" * (part is packed) + part
        for part in (meta, packed, names)
    )


def test_native_clipping_matches_the_flame_module_on_made_up_frames():
    rng = random.Random(7)
    for _ in range(1500):
        data = [made_up_frame(rng)]
        got, got_paths, bad, _ = native(data, False)
        want, want_paths, _ = oracle(data, False)
        assert bad == []
        assert {k: v[2:5] for k, v in got.items()} == {k: v[2:5] for k, v in want.items()}
        assert {k: v[1:] for k, v in got_paths.items()} == {k: v[1:] for k, v in want_paths.items()}


def run_command(capsys, *args):
    status = main(["scopes", *map(str, args)])
    out, err = capsys.readouterr()
    return status, out, err


def test_the_scopes_command_and_api(scoped, capsys, monkeypatch):
    rows = stats.scopes(zel.load(scoped))
    assert [r["name"] for r in rows][:1] == ["chunk"]  # the worker sleeps in it most
    assert [r["self_ms"] for r in rows] == sorted((r["self_ms"] for r in rows), reverse=True)
    status, out, _ = run_command(capsys, scoped, "--json")
    doc = json.loads(out)
    assert status == 0 and doc["rows"] == rows and doc["scopes"] == len(rows) == 7
    status, out, _ = run_command(capsys, scoped, "--csv", "--limit", 3)
    table = list(csv.DictReader(io.StringIO(out)))
    assert [{k: type(v)(table[i][k]) for k, v in r.items()} for i, r in enumerate(rows[:3])] == (
        rows[:3]
    )
    for sort, key in (("calls", "calls"), ("total", "total_ms"), ("p99", "call_p99_ms")):
        status, out, _ = run_command(capsys, scoped, "--json", "--by", "thread", "--sort", sort)
        got = json.loads(out)["rows"]
        assert [r[key] for r in got] == sorted((r[key] for r in got), reverse=True), sort
        threads = {r["name"]: r["thread"] for r in got}
        assert {threads["chunk"], threads["rec"]} == {"thread 1", "thread 2"}
    status, out, _ = run_command(capsys, scoped, "--frames", "SLOWEST", "--count", 3, "--limit", 2)
    lines = out.splitlines()
    assert status == 0 and "slowest 3 frames" in lines[0] and "(3 flame frames)" in lines[0]
    assert lines[3].split()[:2] == ["scope", "calls"]
    more = len(stats.scopes(scoped, "SLOWEST", count=3)) - 2
    assert len(lines) == 8 and lines[-1].startswith(f"... {more} more")
    if importlib.util.find_spec("pandas"):
        frame_of = stats.scopes(scoped, by="thread", as_frame=True)
        assert list(frame_of.columns[:3]) == ["name", "thread", "calls"] and len(frame_of) == 7
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="pip install pandas"):
        stats.scopes(scoped, as_frame=True)
    for bad, status in (
        (["--by", "x"], 2),
        (["--sort", "x"], 2),
        (["--json", "--csv"], 2),
        (["--limit", "0"], 2),
        (["--frames", "x"], 1),
        (["--frames", "500:"], 1),
    ):
        got, out, err = run_command(capsys, scoped, *bad)
        assert (got, out, len(err.splitlines())) == (status, "", 1), bad
        assert err.startswith("zel scopes: "), bad


def test_undecodable_flame_frames_are_left_out_with_a_warning(scoped, tmp_path, capsys):
    flames = [b for _, b in sorted(zel.load(scoped).flame.items())][:3]
    flames[1] = flames[1][:30]
    data = header([("frame_ms", "ms")], flame=True)
    data += b"".join(frame([float(k)], flame=b) for k, b in enumerate(flames))
    (path := tmp_path / "flames.zel").write_bytes(data)
    with pytest.warns(UndecodableFlameWarning, match="left out 1 undecodable flame frame"):
        assert {r["frames"] for r in stats.scopes(path)} <= {1, 2}
    status, out, err = run_command(capsys, path, "--json")
    assert status == 0 and json.loads(out)["undecodable_flame_frames"] == 1
    assert err.startswith(f"zel: warning: {path}: left out 1 undecodable flame frame (frame 1")
    assert run_command(capsys, path, "--strict")[0] == 1
    out = tmp_path / "x.folded"
    assert main(["flame", str(path), "-o", str(out), "--merge", "--frames", "ALL", "--strict"]) == 1
    assert "frame 1: damaged flame data" in capsys.readouterr().err and not out.exists()


def test_merged_flame_files_hold_the_paths_self_times(scoped, tmp_path, capsys):
    _, want, _, labels = native([b for _, b in sorted(zel.load(scoped).flame.items())], False)
    expect = {(labels[p[0]], *p[1:]): v[2] for p, v in want.items() if v[2] > 0}
    collapsed, sampled = tmp_path / "m.folded", tmp_path / "m.json"
    for out in (collapsed, sampled):
        assert main(["flame", str(scoped), "-o", str(out), "--merge", "--frames", "ALL"]) == 0
        assert f"{len(expect)} paths with self time" in capsys.readouterr().out
    got = {}
    for line in collapsed.read_text().splitlines():
        stack, ns = line.rsplit(" ", 1)
        got[tuple(stack.split(";"))] = int(ns)
    assert got == expect
    doc = json.loads(sampled.read_text(), parse_constant={}.__getitem__)
    names = [f["name"] for f in doc["shared"]["frames"]]
    got = {}
    for p in doc["profiles"]:
        assert (p["type"], p["unit"], p["endValue"]) == (
            "sampled",
            "nanoseconds",
            sum(p["weights"]),
        )
        assert len(p["samples"]) == len(p["weights"])
        for stack, weight in zip(p["samples"], p["weights"]):
            got[(p["name"], *(names[i] for i in stack))] = weight
    assert got == expect
    for bad in (["--merge", "--format", "perfetto"], ["--format", "collapsed"]):
        assert main(["flame", str(scoped), "-o", str(collapsed), *bad]) == 2
        assert len(capsys.readouterr().err.splitlines()) == 1
