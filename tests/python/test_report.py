"""`zel report`: the data the page is built from, and the page itself in a headless
Chromium driven over the DevTools protocol (skipped where no Chromium is installed)."""

import fcntl
import json
import math
import os
import re
import select
import shutil
import signal
import subprocess

import pytest
from recording import run_python

import zel
from zel.cli import main
from zel.export.report import SCOPE_FIELDS, downsample, embed_json, report_data

HOSTILE = '</script><img src=x onerror="document.title=1">&amp;'

# 36 frames on two threads (the second one stops at frame 20) with a flame frame for
# each of the first 34. Frame 10 is slow inside a scope with a hostile name; frames
# 30 and 31 are slower still but open no scope, so they carry frame 29's flame
# frame again; frame 35 is the slowest and carries none. `loss` has a value in every
# frame, HOSTILE in every third.
CHILD = f"""
    import threading, time
    import zel
    zel.enable()
    zel.record_metric_unit("loss", "nats")
    HOSTILE = {HOSTILE!r}

    def worker(stop):
        while not stop.is_set():
            with zel.Scope("load"):
                time.sleep(0.001)

    stop = threading.Event()
    thread = threading.Thread(target=worker, args=(stop,))
    thread.start()
    for i in range(36):
        if i == 20:
            stop.set()
            thread.join()
        if i in (30, 31):
            time.sleep(0.06 if i == 30 else 0.08)
        else:
            with zel.Scope("frame"):
                with zel.Scope("update"):
                    time.sleep(0.002)
                    if i == 10:
                        with zel.Scope(HOSTILE):
                            time.sleep(0.04)
                time.sleep(0.12 if i == 35 else 0)
        zel.record_metric("loss", 1.0 / (i + 1))
        if i % 3 == 0:
            zel.record_metric(HOSTILE, i)
        zel.frame_mark()
"""


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "run.zel"
    run_python(CHILD, ZEL_RECORD=str(path), ZEL_RECORD_FLAME="1", ZEL_RECORD_MAX_FRAMES="34")
    return zel.load(path)


def test_downsampling_keeps_every_extreme_and_the_gaps():
    values = [1.0] * 10_000
    values[4321], values[17] = 99.0, -5.0
    values[5000:5010] = [math.nan] * 10  # two whole runs of 5 frames without a value
    out = downsample(values, buckets=2000)
    assert out["step"] == 5 and len(out["lo"]) == len(out["hi"]) == 2000
    assert out["hi"][4321 // 5] == 99.0 and out["lo"][17 // 5] == -5.0
    assert out["lo"][1000:1002] == [None, None] == out["hi"][1000:1002]
    assert (out["min"], out["max"], out["count"]) == (-5.0, 99.0, 9990)
    assert out["mean"] == pytest.approx((9988 + 99 - 5) / 9990)
    short = downsample([2.0, math.nan, 3.5], buckets=2000)
    assert (short["step"], short["lo"], short["hi"]) == (1, [2.0, None, 3.5], None)
    empty = downsample([math.nan] * 3)
    assert (empty["count"], empty["min"], empty["mean"], empty["max"]) == (0, None, None, None)
    data = {HOSTILE: [HOSTILE, "\u2028<!--", math.pi]}
    assert not set("<>&\u2028") & set(embed_json(data)) and json.loads(embed_json(data)) == data


def test_slowest_frames_with_flame_data_each_flame_frame_once(capture):
    assert 35 not in capture.flame and capture.flame[30] == capture.flame[31]
    data = report_data(capture, slowest=2)
    assert [f["frame"] for f in data["flames"]] == [31, 10]
    strings, slow = data["strings"], data["flames"][1]
    name, fields = SCOPE_FIELDS.index("name"), len(SCOPE_FIELDS)
    names = {strings[i] for t in slow["threads"] for i in t["scopes"][name::fields]}
    assert names == {"frame", "update", "load", HOSTILE}
    assert [t["name"] for t in slow["threads"]] == ["thread 1", "thread 2"]
    # the hostile scope holds the frame's 40 ms sleep as self time
    assert {strings[i]: ns for i, ns in slow["self"]}[HOSTILE] > 35e6
    columns = {c["name"]: c for c in data["columns"]}
    assert columns[HOSTILE]["count"] == 12 and columns["loss"]["unit"] == "nats"
    assert columns["frame_ms"]["lo"][0] is None  # the first frame has no frame time
    assert data["summary"]["frames"] == 35 and data["frames"] == 36


# ---- the page in a browser

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class DevTools:
    """Chromium with the DevTools protocol on a pipe (fd 3 in, fd 4 out, messages
    ending in NUL), one page attached; every event is kept in `events`."""

    def __init__(self, *args):
        to_r, self.out = os.pipe()
        self.inp, from_w = os.pipe()
        # far from 3 and 4, so that the redirections below cannot clobber each other
        r, w = (fcntl.fcntl(fd, fcntl.F_DUPFD, 100) for fd in (to_r, from_w))
        self.proc = subprocess.Popen(
            [
                "bash",
                "-c",
                f'exec "$@" 3<&{r} 4>&{w}',
                "bash",
                CHROMIUM,
                "--remote-debugging-pipe",
                *args,
            ],
            pass_fds=(r, w),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,  # its helper processes go with it in close()
        )
        for fd in (to_r, from_w, r, w):
            os.close(fd)
        self.buffer, self.events, self.next_id, self.session = b"", [], 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)[
            "sessionId"
        ]

    def call(self, method, **params):
        self.next_id += 1
        message = {
            "id": self.next_id,
            "method": method,
            "params": params,
            "sessionId": self.session,
        }
        os.write(self.out, json.dumps({k: v for k, v in message.items() if v}).encode() + b"\0")
        while True:
            reply = self.receive()
            if reply.get("id") == self.next_id:
                assert "error" not in reply, (method, reply["error"])
                return reply["result"]

    def receive(self):
        while b"\0" not in self.buffer:
            assert select.select([self.inp], [], [], 30)[0], "Chromium stopped answering"
            chunk = os.read(self.inp, 1 << 20)
            assert chunk, "Chromium closed the pipe"
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        message = json.loads(message)
        self.events += [message] if "method" in message else []
        return message

    def navigate(self, url):
        seen = len(self.events)
        self.call("Page.navigate", url=url)
        while not any(e["method"] == "Page.loadEventFired" for e in self.events[seen:]):
            self.receive()
        return self.evaluate("document.body.dataset.status")

    def evaluate(self, expression):
        result = self.call(
            "Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True
        )
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")

    def close(self):
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        os.close(self.out)
        os.close(self.inp)


# (distinct colours, pixels that are coloured, not grey as axes, grid and labels are) of
# a canvas
COLOURS = """((c) => {
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data, seen = new Set();
    let n = 0;
    for (let i = 0; i < d.length; i += 4) {
      seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
      const [r, g, b] = [d[i], d[i + 1], d[i + 2]];
      if (d[i + 3] > 200 && Math.max(r, g, b) - Math.min(r, g, b) > 40) n++;
    }
    return [seen.size, n];
})"""
PAGE_CANVASES = f"""[...document.querySelectorAll("canvas")].map((c) =>
    [c.id || c.closest(".tile").querySelector(".name").firstChild.textContent, {COLOURS}(c)[1]])"""
PNG_COLOURS = f"""(async () => {{
    const image = new Image(), c = document.createElement("canvas");
    image.src = "data:image/png;base64,%s";
    await image.decode();
    [c.width, c.height] = [image.width, image.height];
    c.getContext("2d").drawImage(image, 0, 0);
    return [{COLOURS}(c), c.width * c.height];
}})()"""
FLAME_IMAGE = "document.getElementById('flame').toDataURL()"


@pytest.mark.skipif(
    CHROMIUM is None, reason="no chromium on PATH (scripts/setup.sh --test installs it)"
)
def test_page_renders_offline_without_errors_and_zooms(capture, tmp_path, capsys):
    page = tmp_path / "report.html"
    assert main(["report", capture.path, "-o", str(page), "--slowest", "4"]) == 0
    assert capsys.readouterr().out.startswith(f"wrote {page}: 36 frames, ")
    # Outside the data block (user text, never markup), nothing that names a resource.
    head, rest = page.read_text(encoding="utf-8").split(
        '<script type="application/json" id="zel-data">'
    )
    data, tail = rest.split("</script>", 1)
    assert "<" not in data and json.loads(data)["capture"] == "run.zel"
    assert not re.search(
        r"(src|href|action|srcset)\s*=|url\(|@import|import\(|fetch|XMLHttpRequest|WebSocket|EventSource"
        r"|sendBeacon|\w+://|<(link|iframe|img|object|embed|base)\b",
        head + tail,
    )
    lone = tmp_path / "one.zel"  # one frame: no frame time, no flame frame
    run_python("import zel; zel.enable(); zel.frame_mark()", ZEL_RECORD=str(lone))
    assert main(["report", str(lone), "-o", str(tmp_path / "one.html")]) == 0

    # Every request the page makes, whatever its scheme and whether or not it is
    # blocked, shows as a Network event; host names resolve to nothing meanwhile.
    browser = DevTools(
        "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
        "--disable-background-networking", "--disable-component-update", "--window-size=1280,900",
        f"--user-data-dir={tmp_path / 'profile'}", "--host-resolver-rules=MAP * ~NOTFOUND",
    )  # fmt: skip
    try:
        for domain in ("Page", "Runtime", "Network", "Log"):
            browser.call(domain + ".enable")
        assert browser.navigate(page.as_uri()) == "ok"
        clip = {"x": 0, "y": 0, "width": 1280, "height": 900, "scale": 0.5}
        shot = browser.call("Page.captureScreenshot", format="png", clip=clip)["data"]
        coloured = dict(browser.evaluate(PAGE_CANVASES))
        plotted = [c["name"] for c in report_data(capture, slowest=0)["columns"] if c["count"]]
        assert set(coloured) == {"hist", "flame", *plotted}
        assert all(n > 50 for n in coloured.values()), coloured
        # names are text: the hostile one shows as itself and makes no element
        assert browser.evaluate("document.querySelectorAll('img').length") == 0
        assert HOSTILE in browser.evaluate("document.getElementById('plots').textContent")
        assert browser.evaluate("document.title") == "zel report · run.zel"

        # hover over the frame's scope, then zoom in with the wheel and reset
        x, y, width = browser.evaluate(
            "(() => { const f = document.getElementById('flame');"
            " window.scrollTo(0, f.getBoundingClientRect().top + scrollY - 40);"
            " const s = f.getBoundingClientRect(); return [s.left, s.top, s.width]; })()"
        )
        # first thread: axis 20 px, lane head 18 px, then the depth-0 row ("frame")
        x, y = x + width * 0.5, y + 20 + 18 + 9
        browser.call("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y)
        tip = browser.evaluate(
            "(t => t.hidden ? '' : t.textContent)(document.getElementById('tip'))"
        )
        assert tip.startswith("frame") and "self" in tip and "thread 1 · " in tip, tip
        before = browser.evaluate(FLAME_IMAGE)
        browser.call("Input.dispatchMouseEvent", type="mouseWheel", x=x, y=y, deltaX=0, deltaY=-200)
        zoomed = browser.evaluate(FLAME_IMAGE)
        browser.evaluate("document.getElementById('reset').click()")
        assert zoomed != before and browser.evaluate(FLAME_IMAGE) == before

        assert browser.navigate((tmp_path / "one.html").as_uri()) == "ok"
        assert browser.evaluate("document.querySelectorAll('#plots canvas').length") == 7
        events = list(browser.events)
        # the first screen as painted (decoding it is a request of its own, left out)
        (colours, coloured_pixels), pixels = browser.evaluate(PNG_COLOURS % shot)
        assert colours > 200 and coloured_pixels > pixels / 500
    finally:
        browser.close()

    requests = [
        e["params"]["request"]["url"] for e in events if e["method"] == "Network.requestWillBeSent"
    ]
    assert requests == [page.as_uri(), (tmp_path / "one.html").as_uri()]
    problems = [
        e["params"]
        for e in events
        if e["method"] == "Runtime.exceptionThrown"
        or (
            e["method"] == "Runtime.consoleAPICalled"
            and e["params"]["type"] in ("error", "warning", "assert")
        )
        or (
            e["method"] == "Log.entryAdded"
            and e["params"]["entry"]["level"] in ("error", "warning")
        )
    ]
    assert problems == []
