# What `zel report` writes, from the capture a child recorded (conftest.RECORD), one
# with odd columns (test_summary.odd_capture) and two runs of a program with stalls
# planted on known frames (STALLED) and without: its data, and its page in a headless
# Chromium driven over the DevTools protocol.

import fcntl
import json
import math
import os
import select
import shutil
import signal
import subprocess

import pytest
from conftest import HOSTILE, run_python
from test_summary import odd_capture

try:
    import numpy as np
except ImportError:
    np = None  # the other CPythons of the test run have no NumPy

import zel
from zel import compare, flame, hitches, why_slow
from zel.cli import main
from zel.export import merged_tree
from zel.export.report import SCOPE_FIELDS, downsample, report_data, slow_and_typical

# 200 frames of frame > (update, draw); in frames 70, 80, ..., 180 draw also runs
# `stall` for 20 ms, which makes each of them slow and a hitch. STALLS="" plants none.
STALLS = range(70, 190, 10)
STALLED = """
import os, time, zel
zel.enable()
stalls = {int(k) for k in os.environ["STALLS"].split(",") if k}
for k in range(200):
    with zel.Scope("frame"):
        with zel.Scope("update"): time.sleep(0.001)
        with zel.Scope("draw"):
            time.sleep(0.0005)
            if k in stalls:
                with zel.Scope("stall"): time.sleep(0.02)
    zel.frame_mark()
"""


@pytest.fixture(scope="module")
def runs(tmp_path_factory):  # (base, new): without stalls, with them; a flame frame each frame
    out = tmp_path_factory.mktemp("runs")
    for name, stalls in (("base", ""), ("new", ",".join(map(str, STALLS)))):
        run_python(STALLED, ZEL_RECORD=out / f"{name}.zel", ZEL_RECORD_FLAME=1,
                   ZEL_RECORD_EVERY=1, STALLS=stalls)  # fmt: skip
    return out / "base.zel", out / "new.zel"


def tree_paths(tree, strings, group=0):
    # {(name, ...) below the thread: (total, self) of `group`} of a report's merged tree
    k, a, paths, out = 2 + 2 * len(tree["frames"]), tree["nodes"], [], {}
    for i in range(0, len(a), k):
        parent, name = a[i], strings[a[i + 1]]
        paths.append(paths[parent] + (name,) if parent >= 0 else ())
        if parent >= 0:
            out[paths[-1]] = tuple(a[i + 2 + 2 * group : i + 4 + 2 * group])
    return out, paths


def test_report_data_keeps_spikes_and_shows_the_slowest_flame_frames(recorded):
    # A column given as the frames that carry a value: runs of 5 frames, NumPy's and
    # the plain path alike; no value, or only non-finite ones, make a gap.
    values = {k: 1.0 for k in range(10_000) if not 5000 <= k < 5010}
    values.update({4321: 99.0, 17: -5.0, 7000: math.inf, 7001: math.nan, 7002: -math.inf})
    values.update({7008 + k: math.nan for k in range(6)})  # a run of NaN only
    frames = sorted(values)
    kinds = [(frames, [values[k] for k in frames])]
    if np is not None:
        kinds.append(tuple(map(np.array, kinds[0])))
    for frames, column in kinds:
        out = downsample(frames, column, 10_003, buckets=2000)
        assert out["step"] == 6 and len(out["lo"]) == len(out["hi"]) == 1668
        assert out["hi"][4321 // 6] == 99.0 and out["lo"][17 // 6] == -5.0
        gaps = [b for b, (lo, hi) in enumerate(zip(out["lo"], out["hi"])) if lo is None]
        assert gaps == [834, 1168, 1667] and [out["lo"][1166], out["hi"][1166]] == [1.0, 1.0]
    assert downsample([0, 2], [3.0, 4.0], 3) == {"step": 1, "lo": [3.0, None, 4.0], "hi": None}

    capture = zel.load(recorded)
    data = report_data(capture, slowest=1)
    (slow,) = data["flames"]  # frame 5 is slower but carries no flame data
    strings, name, fields = data["strings"], SCOPE_FIELDS.index("name"), len(SCOPE_FIELDS)
    names = {strings[i] for t in slow["threads"] for i in t["scopes"][name::fields]}
    assert slow["frame"] == 4
    assert names == {"frame", "update", "physics", "draw", "job", "read", HOSTILE}
    assert [t["name"] for t in slow["threads"]] == ["thread 1", "thread 2"]
    assert {strings[i]: ns for i, ns in slow["self"]}["draw"] > 35e6  # its 40 ms sleep
    columns = {c["name"]: c for c in data["columns"]}
    assert columns[HOSTILE]["count"] == 1 and columns["loss"]["unit"] == "nats"
    assert columns["frame_ms"]["lo"][0] is None  # the first frame has no frame time
    assert data["summary"]["frames"] == 5 and data["frames"] == 6
    capture.flame[5] = capture.flame[0]  # held twice, it counts once, for the slower frame
    assert [f["frame"] for f in report_data(capture, slowest=4)["flames"]] == [5, 4, 2]


def test_slow_frames_hitches_merged_trees_and_baseline(runs, tmp_path):
    base, new = map(zel.load, runs)
    data = report_data(new, slow="p90", baseline=base)
    assert data["why_slow"]["scopes"][0]["name"] == "stall"
    found = hitches.find(new)
    assert data["hitches"]["frames"] == found["frames"] and set(STALLS) <= set(found["frames"])
    slow, typical = slow_and_typical(new, why_slow.analyse(new, "p90"))
    assert set(STALLS) <= set(slow) and not set(STALLS) & set(typical)
    # The typical frames' tree against each frame clipped by zel.flame.merge, by path.
    want = {}
    for k in typical:
        ((_, roots),) = flame.merge([flame.decode(new.flame[k])])
        stack = [((s.scope.name,), s) for s in roots]
        while stack:
            path, s = stack.pop()
            ns = want.get(path, (0, 0))
            want[path] = (ns[0] + s.stop_ns - s.start_ns, ns[1] + s.self_ns)
            stack += [(path + (c.scope.name,), c) for c in s.children]
    strings, merged = data["strings"], data["merged"]
    got, _ = tree_paths(merged["typical"], strings)
    assert got.keys() == want.keys() == {("frame",), ("frame", "update"), ("frame", "draw")}
    for path, (total, own) in want.items():
        assert got[path] == pytest.approx((total / len(typical), own / len(typical)), abs=1)
    # The differential tree: slow frames first; stall is new in them and nests.
    slow_paths, paths = tree_paths(merged["diff"], strings)
    typical_paths, _ = tree_paths(merged["diff"], strings, group=1)
    stall = ("frame", "draw", "stall")
    assert slow_paths[stall][0] * len(slow) > 19e6 * len(STALLS) and typical_paths[stall] == (0, 0)
    for p, (total, _) in slow_paths.items():
        below = sum(t for q, (t, _) in slow_paths.items() if q[:-1] == p)
        assert below <= total + len(p) and paths.count(p) == 1
    cut = merged_tree.merged([[new.flame[k] for k in typical]], max_nodes=2)
    assert [n[1] for n in cut["nodes"]] == ["thread 1", "frame"] and cut["dropped"] == 2
    assert cut["capped"] and not merged["typical"]["capped"]
    # Against the baseline: one set of bins, each run's frames all counted.
    b = data["baseline"]
    h = b["histograms"]
    assert (h["base"]["lo"], h["base"]["hi"]) == (h["new"]["lo"], h["new"]["hi"])
    assert [sum(x["counts"]) + x["over"] for x in h.values()] == [199, 199]
    figures = {f["name"]: f for f in b["figures"]}
    assert list(figures) == [f for f, _, _ in compare.FIGURES]
    assert figures["hitches"]["new"] == found["count"] and b["scopes"][0]["name"] == "stall"
    # Neither run is written over.
    for target in runs:
        assert main(["report", str(runs[1]), "--baseline", str(runs[0]), "-o", str(target)]) == 2


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--host-resolver-rules=MAP * ~NOTFOUND", "--remote-debugging-pipe"]  # fmt: skip


class Browser:
    # Chromium with the DevTools protocol on a pipe (fd 3 in, fd 4 out, each message
    # ending in NUL) and one page attached; every event is kept in `events`.

    def __init__(self, profile):
        to_r, self.out = os.pipe()
        self.inp, from_w = os.pipe()
        r, w = (fcntl.fcntl(fd, fcntl.F_DUPFD, 100) for fd in (to_r, from_w))  # clear of 3, 4
        exe = ["bash", "-c", f'exec "$@" 3<&{r} 4>&{w}', "bash", CHROMIUM, *FLAGS]
        self.proc = subprocess.Popen([*exe, f"--user-data-dir={profile}"], pass_fds=(r, w),
                                     stderr=subprocess.DEVNULL, start_new_session=True)  # fmt: skip
        for fd in (to_r, from_w, r, w):
            os.close(fd)
        self.buffer, self.events, self.id, self.session = b"", [], 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        attached = self.call("Target.attachToTarget", targetId=target, flatten=True)
        self.session = attached["sessionId"]
        for domain in ("Page", "Runtime", "Network", "Log"):
            self.call(domain + ".enable")

    def call(self, method, **params):
        self.id += 1
        message = {"id": self.id, "method": method, "params": params, "sessionId": self.session}
        os.write(self.out, json.dumps({k: v for k, v in message.items() if v}).encode() + b"\0")
        while True:
            while b"\0" not in self.buffer:
                assert select.select([self.inp], [], [], 30)[0], "Chromium stopped answering"
                self.buffer += os.read(self.inp, 1 << 20)
            reply, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(reply)
            if reply.get("id") == self.id:
                assert "error" not in reply, (method, reply["error"])
                return reply["result"]
            self.events.append(reply)

    def sent(self, method):  # the parameters of each `method` event so far
        return [e["params"] for e in self.events if e["method"] == method]

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)  # fmt: skip
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")


# For each canvas: its tile's name and whether any of its pixels is coloured, not grey
# as axes, grid and labels are.
CANVASES = """[...document.querySelectorAll("canvas")].map((c) => [
    c.id || c.closest(".tile").querySelector(".name").firstChild.textContent,
    c.getContext("2d").getImageData(0, 0, c.width, c.height).data.some((v, i, d) =>
        i % 4 == 0 && Math.max(v, d[i + 1], d[i + 2]) - Math.min(v, d[i + 1], d[i + 2]) > 40),
])"""
# The tip of the differential flame graph hovered where `stall` lies: the first
# scope three rows down (thread, frame, draw, stall; draw before update by name).
HOVER = """(() => {
    const c = document.getElementById("diff"), r = c.getBoundingClientRect();
    const at = {clientX: r.left + 2, clientY: r.top + 3 * 18 + 9};
    c.dispatchEvent(new MouseEvent("mousemove", at));
    const t = document.getElementById("tip").innerText;
    return t.startsWith("stall") && /difference: total \\+/.test(t);
})()"""
LOADED = "new Promise((r) => (document.readyState == 'complete' ? r() : (onload = r)))"


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium on PATH")
@pytest.mark.filterwarnings("ignore:.*damaged")
def test_page_renders_offline_without_errors(recorded, system_columns, runs, tmp_path, capsys):
    # The recorded capture, one with 46 columns that vary, constant and empty ones
    # and a damaged record at its end, and the stalled run against its baseline.
    odd = odd_capture(tmp_path / "odd.zel", system_columns)
    at = len(odd.read_bytes())
    odd.write_bytes(odd.read_bytes() + b"\x09\0\0\0" + b"\0" * 9)
    says = ["Constant 7: seven", "No values in any frame: never", "22 more columns"]  # odd's only
    base, new = runs
    pages = [(recorded, tmp_path / "report.html"), (odd, tmp_path / "odd.html"),
             (new, tmp_path / "new.html")]  # fmt: skip
    for capture, page in pages:
        more = ["--baseline", str(base), "--slow", "p90", "--hitch-window", "50"] * (capture == new)
        assert main(["report", str(capture), "-o", str(page), *more]) == 0
        frames = 200 if capture == new else 6
        assert capsys.readouterr().out.startswith(f"wrote {page}: {frames} frames, ")
    # Every request the page makes, blocked or not, shows as a Network event; host names
    # resolve to nothing meanwhile.
    browser = Browser(tmp_path / "profile")
    try:
        for capture, page in pages:
            browser.call("Page.navigate", url=page.as_uri())
            assert browser.js(LOADED + ".then(() => document.body.dataset.status)") == "ok"
            coloured = dict(browser.js(CANVASES))
            loaded = zel.load(capture, strict=False)
            options = dict(slow="p90", baseline=zel.load(base), hitch_window=50)
            data = report_data(loaded, **(options if capture == new else {}))
            merged = data["merged"] or {}
            drawn = {"flame": data["flames"], "baseline-hist": data["baseline"],
                     "merged": merged, "diff": merged.get("diff")}  # fmt: skip
            assert set(coloured) == {"hist", *drawn, *(c["name"] for c in data["columns"])}
            blank = {k for k, n in coloured.items() if not n}  # HOSTILE's one value: a dot
            assert blank == {k for k, v in drawn.items() if not v}, coloured
            # every hitch marked; the planted scope heads the slow-frame table and shows,
            # hovered, in the differential flame graph as grown; the baseline's figures
            found = hitches.find(loaded, window=50 if capture == new else 60)["count"]
            marked = browser.js("document.querySelector('canvas[data-hitches]')?.dataset.hitches")
            assert marked == (str(found) if "frame_ms" in coloured else None)
            first = browser.js("document.querySelector('#why-scopes td')?.textContent")
            rows = browser.js("document.querySelectorAll('#compare-figures tr').length")
            if capture == new:
                assert found >= len(STALLS) and first == "stall" and browser.js(HOVER)
            assert rows == (len(compare.FIGURES) + 1) * (capture == new)
            text = browser.js("document.body.innerText")
            assert "Constant 0: io_ms, io_MB" in text  # nothing feeds them
            for say in [*says, f"damaged at byte {at}"]:
                assert (say in text) == (capture == odd), say
            # names are text: the hostile one shows as itself and makes no element
            found = browser.js("[document.images.length, document.title, plots.textContent]")
            assert found[:2] == [0, f"zel report · {capture.name}"], found
            assert (HOSTILE in found[2]) == (capture == recorded)
    finally:
        os.killpg(browser.proc.pid, signal.SIGKILL)
        browser.proc.wait()
        os.close(browser.out)
        os.close(browser.inp)
    requests = [e["request"]["url"] for e in browser.sent("Network.requestWillBeSent")]
    assert requests == [p.as_uri() for _, p in pages]
    assert browser.sent("Runtime.exceptionThrown") == []
    bad = ("error", "warning", "assert")
    assert [e for e in browser.sent("Runtime.consoleAPICalled") if e["type"] in bad] == []
    assert [e for e in browser.sent("Log.entryAdded") if e["entry"]["level"] in bad] == []
