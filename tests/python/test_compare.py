# Hitches, the slow-frame comparison and `zel compare`: figures against ones worked out
# by hand on built captures, the bootstrap's reproducibility and coverage, and the gate.

import json
import random

import pytest
from conftest import run_python, write_frames

import zel
from zel import compare, flame
from zel.cli import main


def ar1_times(rng, n, mean, phi=0.6, sigma=1.0):
    # Frame times whose neighbours are correlated, as a real run's are.
    out, e = [0.0], 0.0
    for _ in range(n):
        e = phi * e + rng.gauss(0, sigma)
        out.append(mean + e)
    return out


def test_hitches_on_a_planted_series(tmp_path, system_columns, capsys):
    # 16 ms frames; 40 ms at frames 100 and 250 and for frames 300..399. Frames from 61
    # on have a full 60-frame window; the stretch hitches until it fills half the window.
    times = [0.0] + [40.0 if f in (100, 250) or 300 <= f < 400 else 16.0 for f in range(1, 500)]
    path = write_frames(tmp_path / "h.zel", system_columns, times)
    assert main(["summary", "--json", str(path)]) == 0
    h = json.loads(capsys.readouterr().out)["hitches"]
    assert h["count"] == 32 and h["time_ms"] == 32 * 40
    assert h["share"] == pytest.approx(32 * 40 / (397 * 16 + 102 * 40))
    assert [(w["frame"], w["median_ms"], w["ratio"]) for w in h["worst"][:3]] == [
        (100, 16, 2.5),
        (250, 16, 2.5),
        (300, 16, 2.5),
    ]
    assert main(["summary", "--hitch-factor", "3", "--hitch-window", "10", str(path)]) == 0
    assert "hitches          0 (no frame over 3x the median of the 10" in capsys.readouterr().out


SLOW_PROGRAM = """
import time, zel
zel.enable()
def spin(ms):
    end = time.perf_counter() + ms / 1000
    while time.perf_counter() < end:
        pass
for i in range(300):
    with zel.Scope("update"):
        spin(0.5)
    with zel.Scope("bake_lighting"):
        spin(8 if i % 40 == 7 else 0.1)
    zel.record_metric("chunks", 9 if i % 40 == 7 else 1)
    zel.frame_mark()
zel.flush()
"""


def test_the_slow_scope_comes_first_with_its_difference(tmp_path, capsys):
    path = tmp_path / "slow.zel"
    run_python(SLOW_PROGRAM, ZEL_RECORD=path, ZEL_RECORD_FLAME=1)
    assert main(["summary", "--json", "--slow", "p97", str(path)]) == 0
    w = json.loads(capsys.readouterr().out)["why_slow"]
    # The same groups and means worked out from the decoded flame frames.
    capture = zel.load(str(path))
    ms = capture.columns["frame_ms"]
    low, high = w["typical_range_ms"]
    slow = [k for k in capture.flame if k and ms[k] >= w["threshold_ms"]]
    typical = [k for k in capture.flame if k and low <= ms[k] <= high]
    assert (w["slow_frames"], w["typical_frames"]) == (len(slow), len(typical))
    assert len(slow) >= 3

    def mean_self(frames):
        times = [flame.self_times(flame.decode(capture.flame[k])) for k in frames]
        return sum(t.get("bake_lighting", 0) for t in times) / 1e6 / len(frames)

    first = w["scopes"][0]
    assert first["name"] == "bake_lighting" and first["diff_ms"] > 5
    assert first["diff_ms"] == pytest.approx(mean_self(slow) - mean_self(typical))
    extra = sum(ms[k] for k in slow) / len(slow) - sum(ms[k] for k in typical) / len(typical)
    assert w["extra_ms"] == pytest.approx(extra) and first["share"] == pytest.approx(
        first["diff_ms"] / extra
    )
    chunks = capture.columns["chunks"]
    want = sum(chunks[k] for k in slow) / len(slow) - sum(chunks[k] for k in typical) / len(typical)
    assert [c["diff"] for c in w["columns"] if c["name"] == "chunks"] == [pytest.approx(want)]
    assert main(["summary", "--slow", "p97", str(path)]) == 0
    assert "\n  bake_lighting  +" in capsys.readouterr().out
    assert main(["summary", "--slow", "1000ms", str(path)]) == 0  # no frame that slow
    assert "slow frames: too few flame frames to compare" in capsys.readouterr().out
    assert main(["summary", "--slow", "p100", str(path)]) == 2


def test_bootstrap_is_reproducible_and_covers_a_known_difference(tmp_path, system_columns):
    rng = random.Random(2024)

    def pair(k, shift):
        base = write_frames(tmp_path / f"b{k}.zel", system_columns, ar1_times(rng, 3000, 16))
        new = write_frames(tmp_path / f"n{k}.zel", system_columns, ar1_times(rng, 3000, 16 + shift))
        return zel.load(str(base)), zel.load(str(new))

    base, new = pair(0, 0.5)
    once = compare.compare(base, new, replicates=300, seed=5)
    assert compare.compare(base, new, replicates=300, seed=5) == once
    assert compare.compare(base, new, replicates=300, seed=6)["figures"] != once["figures"]
    # Over simulated pairs whose mean differs by 0.5 ms, the 95% interval of the mean's
    # difference holds 0.5 about 95 times in 100 (fixed seeds: the count is fixed too).
    covered = 0
    for k in range(40):
        result = compare.compare(*pair(k + 1, 0.5), replicates=400, seed=k)
        lo, hi = result["figures"][1]["ci"]  # mean_ms
        covered += lo <= 0.5 <= hi
    assert covered >= 34


def test_the_gate_fails_only_on_a_clear_crossing(tmp_path, system_columns, capsys):
    rng = random.Random(7)
    files = {}
    for name, mean in (("base", 16), ("slower", 19), ("same", 16.05)):
        files[name] = str(
            write_frames(tmp_path / f"{name}.zel", system_columns, ar1_times(rng, 2000, mean))
        )
    junit = tmp_path / "gate.xml"
    cases = [
        # (new, bounds, exit status, bounds failed)
        ("slower", ["p50_ms>+5%", "low_1pct_fps<-50%"], 3, 1),
        ("slower", ["p50_ms<-5%", "mean_ms>+10"], 0, 0),
        ("same", ["p50_ms>-1%"], 0, 0),  # crossed, but within the noise
        ("base", ["hitches>+0"], 0, 0),
    ]
    for new, bounds, status, failed in cases:
        args = ["compare", files["base"], files[new], "--junit", str(junit), "--replicates", "200"]
        assert main(args + [a for b in bounds for a in ("--fail-if", b)]) == status, (new, bounds)
        assert f'failures="{failed}"' in junit.read_text() and capsys.readouterr().out
    for bad in ("p99>+5%", "p99_ms>>5", "p99_ms>5%%", "p99_ms"):
        junit.unlink(missing_ok=True)
        assert (
            main(["compare", files["base"], files["same"], "--junit", str(junit), "--fail-if", bad])
            == 2
        )
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "bad bound" in err and not junit.exists()
