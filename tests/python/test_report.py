"""`zel report`: the data the page is built from, and the page itself in a headless
Chromium driven over the DevTools protocol (skipped where no Chromium is installed;
scripts/setup.sh --test installs it)."""

import base64
import fcntl
import json
import math
import os
import re
import select
import signal
import shutil
import struct
import subprocess
import zlib

import pytest

import zel
from recording import run_python
from zel.cli import main
from zel.report import SCOPE_FIELDS, downsample, embed_json, report_data, write_report

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
                if i == 35:
                    time.sleep(0.12)
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
    values[4321] = 99.0
    values[17] = -5.0
    values[5000:5010] = [math.nan] * 10  # two whole runs of 5 frames without a value
    out = downsample(values, buckets=2000)
    assert out["step"] == 5 and len(out["lo"]) == len(out["hi"]) == 2000
    assert out["hi"][4321 // 5] == 99.0 and out["lo"][17 // 5] == -5.0
    assert out["lo"][1000:1002] == [None, None] == out["hi"][1000:1002]
    assert (out["min"], out["max"]) == (-5.0, 99.0)
    assert out["count"] == 9990 and out["mean"] == pytest.approx((9988 + 99 - 5) / 9990)

    short = downsample([2.0, math.nan, 3.5], buckets=2000)
    assert (short["step"], short["lo"], short["hi"]) == (1, [2.0, None, 3.5], None)
    assert downsample([math.nan] * 3)["count"] == 0 and downsample([math.nan] * 3)["max"] is None


def test_embedded_json_cannot_end_its_script_block():
    data = {HOSTILE: [HOSTILE, "\u2028<!--", math.pi]}
    text = embed_json(data)
    assert not set("<>&\u2028") & set(text)
    assert json.loads(text) == data


def test_slowest_frames_with_flame_data_each_flame_frame_once(capture):
    assert 35 not in capture.flame and capture.flame[30] == capture.flame[31]
    data = report_data(capture, slowest=2)
    assert [f["frame"] for f in data["flames"]] == [31, 10]
    strings = data["strings"]
    slow = data["flames"][1]
    name, fields = SCOPE_FIELDS.index("name"), len(SCOPE_FIELDS)
    names = {strings[i] for t in slow["threads"] for i in t["scopes"][name::fields]}
    assert {"frame", "update", "load", HOSTILE} <= names
    assert len(slow["threads"]) == 2
    # the hostile scope holds the frame's 40 ms sleep as self time
    assert {strings[i]: ns for i, ns in slow["self"]}[HOSTILE] > 35e6

    columns = {c["name"]: c for c in data["columns"]}
    assert columns[HOSTILE]["count"] == 12 and columns["loss"]["unit"] == "nats"
    assert columns["frame_ms"]["lo"][0] is None  # the first frame has no frame time


def test_command_writes_the_page_and_refuses_bad_paths(capture, tmp_path, capsys):
    out = tmp_path / "r.html"
    assert main(["report", capture.path, "-o", str(out), "--slowest", "3"]) == 0
    assert capsys.readouterr().out.startswith(f"wrote {out}: 36 frames, ")
    assert out.read_text(encoding="utf-8").count("</script>") == 2

    assert main(["report", str(tmp_path / "none.zel"), "-o", str(out)]) == 1
    assert main(["report", capture.path, "-o", str(tmp_path / "no" / "r.html")]) == 1
    errors = capsys.readouterr().err.splitlines()
    assert len(errors) == 2 and "none.zel" in errors[0] and "no such directory" in errors[1]


# ---- the page in a browser

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class DevTools:
    """Chromium with the DevTools protocol on a pipe (fd 3 in, fd 4 out, messages
    ending in NUL), one page attached; every event is kept in `events`."""

    def __init__(self, args, timeout=30):
        to_r, to_w = os.pipe()
        from_r, from_w = os.pipe()
        # far from 3 and 4, so that the redirections below cannot clobber each other
        r, w = (fcntl.fcntl(fd, fcntl.F_DUPFD, 100) for fd in (to_r, from_w))
        self.proc = subprocess.Popen(
            ["bash", "-c", f'exec "$@" 3<&{r} 4>&{w}', "bash", CHROMIUM, "--remote-debugging-pipe", *args],
            pass_fds=(r, w),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,  # its helper processes go with it in close()
        )
        for fd in (to_r, from_w, r, w):
            os.close(fd)
        self.out, self.inp, self.timeout = to_w, from_r, timeout
        self.buffer, self.events, self.next_id, self.session = b"", [], 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            message["sessionId"] = self.session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.receive()
            if reply.get("id") == self.next_id:
                assert "error" not in reply, (method, reply["error"])
                return reply["result"]

    def receive(self):
        while b"\0" not in self.buffer:
            assert select.select([self.inp], [], [], self.timeout)[0], "Chromium stopped answering"
            chunk = os.read(self.inp, 1 << 20)
            assert chunk, "Chromium closed the pipe"
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        message = json.loads(message)
        if "method" in message:
            self.events.append(message)
        return message

    def navigate(self, url):
        seen = len(self.events)
        self.call("Page.navigate", url=url)
        while not any(e["method"] == "Page.loadEventFired" for e in self.events[seen:]):
            self.receive()

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")

    def mouse(self, kind, x, y, **extra):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, **extra)

    def close(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        os.close(self.out)
        os.close(self.inp)


def png_pixels(png):
    """The RGBA pixels of an 8-bit RGBA or RGB PNG (what Chromium writes) as a list
    of tuples."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(png):
        size, kind = struct.unpack(">I4s", png[pos : pos + 8])
        body = png[pos + 8 : pos + 8 + size]
        if kind == b"IHDR":
            width, height, depth, color = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and color in (2, 6)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + size
    bpp = 4 if color == 6 else 3
    raw, stride = zlib.decompress(idat), width * bpp
    prev, pixels = bytearray(stride), []
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1 : (y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - bpp] if i >= bpp else 0
            up, corner = prev[i], prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        pixels += [tuple(line[i : i + bpp]) for i in range(0, stride, bpp)]
        prev = line
    return pixels


# Per canvas: how many of its pixels are coloured (not grey: the axes, grid lines and
# labels are grey), read back from the canvas itself.
COLOURED_PIXELS = """
    [...document.querySelectorAll("canvas")].map((c) => {
      const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 0; i < d.length; i += 4) {
        if (d[i + 3] > 200 && Math.max(d[i], d[i + 1], d[i + 2]) - Math.min(d[i], d[i + 1], d[i + 2]) > 40) n++;
      }
      return [c.id || c.closest(".tile").querySelector(".name").firstChild.textContent, n];
    })
"""


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium on PATH (scripts/setup.sh --test installs it)")
def test_page_renders_offline_without_errors_and_zooms(capture, tmp_path):
    page = tmp_path / "report.html"
    write_report(capture, page, slowest=4)
    # Outside the data block (user text, never markup), nothing that names a resource.
    head, rest = page.read_text(encoding="utf-8").split('<script type="application/json" id="zel-data">')
    data, tail = rest.split("</script>", 1)
    assert "<" not in data and json.loads(data)["capture"] == "run.zel"
    assert not re.search(
        r"(src|href|action|srcset)\s*=|url\(|@import|import\(|fetch|XMLHttpRequest|WebSocket|EventSource"
        r"|sendBeacon|\w+://|<(link|iframe|img|object|embed|base)\b",
        head + tail,
    )

    # Every request the page makes, whatever its scheme and whether or not it is
    # blocked, shows as a Network event; host names resolve to nothing meanwhile.
    browser = DevTools(
        [
            "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
            "--disable-background-networking", "--disable-component-update", "--window-size=1280,900",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--host-resolver-rules=MAP * ~NOTFOUND",
        ]
    )
    try:
        for domain in ("Page", "Runtime", "Network", "Log"):
            browser.call(domain + ".enable")
        browser.navigate(page.as_uri())
        assert browser.evaluate("document.body.dataset.status") == "ok"
        # the first screen, at half size (left in tmp_path for a look)
        clip = {"x": 0, "y": 0, "width": 1280, "height": 900, "scale": 0.5}
        shot = base64.b64decode(browser.call("Page.captureScreenshot", format="png", clip=clip)["data"])
        (tmp_path / "report.png").write_bytes(shot)

        coloured = dict(browser.evaluate(COLOURED_PIXELS))
        plotted = [c["name"] for c in report_data(capture, slowest=0)["columns"] if c["count"]]
        assert set(coloured) == {"hist", "flame", *plotted}
        assert all(n > 50 for n in coloured.values()), coloured

        # names are text: the hostile one shows as itself and makes no element
        assert browser.evaluate("document.querySelectorAll('img').length") == 0
        assert HOSTILE in browser.evaluate("document.getElementById('plots').textContent")
        assert browser.evaluate("document.title") == "zel report · run.zel"

        # hover over the frame's scope, then zoom in with the wheel and reset
        box = browser.evaluate(
            "(() => { const r = document.getElementById('flame').getBoundingClientRect();"
            " window.scrollTo(0, r.top + scrollY - 40);"
            " const s = document.getElementById('flame').getBoundingClientRect();"
            " return [s.left, s.top, s.width]; })()"
        )
        # first thread: axis 20 px, lane head 18 px, then the depth-0 row ("frame")
        x, y = box[0] + box[2] * 0.5, box[1] + 20 + 18 + 9
        browser.mouse("mouseMoved", x, y)
        tip = browser.evaluate("document.getElementById('tip').hidden ? '' : document.getElementById('tip').textContent")
        assert tip.startswith("frame") and "self" in tip, tip
        flame_image = "document.getElementById('flame').toDataURL()"
        before = browser.evaluate(flame_image)
        browser.mouse("mouseWheel", x, y, deltaX=0, deltaY=-200)
        zoomed = browser.evaluate(flame_image)
        browser.evaluate("document.getElementById('reset').click()")
        assert zoomed != before and browser.evaluate(flame_image) == before

        # one frame: no frame time, no flame frame, a single point per other column
        lone = tmp_path / "one.zel"
        run_python("import zel; zel.enable(); zel.frame_mark()", ZEL_RECORD=str(lone))
        write_report(zel.load(lone), tmp_path / "one.html")
        browser.navigate((tmp_path / "one.html").as_uri())
        assert browser.evaluate("document.body.dataset.status") == "ok"
        assert browser.evaluate("document.querySelectorAll('#plots canvas').length") == 7
        events = list(browser.events)
    finally:
        browser.close()

    pixels = png_pixels(shot)
    assert len(set(pixels)) > 200
    assert sum(max(p[:3]) - min(p[:3]) > 40 for p in pixels) > len(pixels) // 500

    requests = [e["params"]["request"]["url"] for e in events if e["method"] == "Network.requestWillBeSent"]
    assert requests == [page.as_uri(), (tmp_path / "one.html").as_uri()]
    problems = [
        e["params"]
        for e in events
        if e["method"] == "Runtime.exceptionThrown"
        or (e["method"] == "Runtime.consoleAPICalled" and e["params"]["type"] in ("error", "warning", "assert"))
        or (e["method"] == "Log.entryAdded" and e["params"]["entry"]["level"] in ("error", "warning"))
    ]
    assert problems == []

