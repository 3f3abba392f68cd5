# What `zel report` writes, from the capture a child recorded (conftest.RECORD) and one
# with odd columns (test_summary.odd_capture): its data, and its page in a headless
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
from conftest import HOSTILE
from test_summary import odd_capture

try:
    import numpy as np
except ImportError:
    np = None  # the other CPythons of the test run have no NumPy

import zel
from zel.cli import main
from zel.export.report import SCOPE_FIELDS, downsample, report_data


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
LOADED = "new Promise((r) => (document.readyState == 'complete' ? r() : (onload = r)))"


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium on PATH")
@pytest.mark.filterwarnings("ignore:.*damaged")
def test_page_renders_offline_without_errors(recorded, system_columns, tmp_path, capsys):
    # The recorded capture, and one with 46 columns that vary, constant and empty ones
    # and a damaged record at its end.
    odd = odd_capture(tmp_path / "odd.zel", system_columns)
    at = len(odd.read_bytes())
    odd.write_bytes(odd.read_bytes() + b"\x09\0\0\0" + b"\0" * 9)
    says = ["Constant 7: seven", "No values in any frame: never", "22 more columns"]  # odd's only
    pages = [(recorded, tmp_path / "report.html"), (odd, tmp_path / "odd.html")]
    for capture, page in pages:
        assert main(["report", str(capture), "-o", str(page)]) == 0
        assert capsys.readouterr().out.startswith(f"wrote {page}: 6 frames, ")
    # Every request the page makes, blocked or not, shows as a Network event; host names
    # resolve to nothing meanwhile.
    browser = Browser(tmp_path / "profile")
    try:
        for capture, page in pages:
            browser.call("Page.navigate", url=page.as_uri())
            assert browser.js(LOADED + ".then(() => document.body.dataset.status)") == "ok"
            coloured = dict(browser.js(CANVASES))
            data = report_data(zel.load(capture, strict=False))
            assert set(coloured) == {"hist", "flame", *(c["name"] for c in data["columns"])}
            blank = [k for k, n in coloured.items() if not n]  # HOSTILE's one value: a dot
            assert blank == ([] if data["flames"] else ["flame"]), coloured
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
