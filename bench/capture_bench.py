"""The frame path from Python, side by side in one run: every case runs in its own
child process (arming happens once per process), the cases interleaved over several
rounds; medians across rounds of each round's median.

- frame_mark() armed, 4 user metrics recorded before it, no flame: frames paced
  1.1 ms apart, so that every mark reads the resident size anew, and in a tight loop;
- frame_mark() with recording not armed;
- record_metric(name, value), four names per frame;
- frame_mark() with a flame frame of 100 scopes attached on every frame;
- resident memory over 200,000 frames with a flame frame every 10th.

Usage: python bench/capture_bench.py [rounds]
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

FRAMES = 20_000
NAMES = ("loss", "lr", "particles", "draw_calls")


def timer_overhead(pc):
    return statistics.median(-(pc() - pc()) for _ in range(10_000))


def child_armed(paced):
    import _zel

    _zel.enable()
    rm, fm, pc = _zel.record_metric, _zel.frame_mark, time.perf_counter_ns
    over = timer_overhead(pc)
    per_metric, marks = [], []
    last = pc()
    for i in range(FRAMES // 4 if paced else FRAMES):
        if paced:
            while pc() - last < 1_100_000:
                pass
        t0 = pc()
        rm("loss", 0.5)
        rm("lr", 0.001)
        rm("particles", 4096)
        rm("draw_calls", i)
        t1 = pc()
        fm()
        t2 = pc()
        last = t2
        per_metric.append((t1 - t0 - over) / 4)
        marks.append(t2 - t1 - over)
    _zel.flush()
    return {"record_metric": statistics.median(per_metric), "frame_mark": statistics.median(marks)}


def child_disarmed():
    import _zel

    _zel.enable()
    fm, pc = _zel.frame_mark, time.perf_counter_ns
    n = 200_000
    t0 = pc()
    for _ in range(n):
        fm()
    t1 = pc()
    for _ in range(n):
        pass
    t2 = pc()
    return {"frame_mark": ((t1 - t0) - (t2 - t1)) / n}


def child_flame():
    import _zel

    _zel.enable()
    Scope, rm, fm, pc = _zel.Scope, _zel.record_metric, _zel.frame_mark, time.perf_counter_ns
    over = timer_overhead(pc)
    outer, inner = Scope("frame"), Scope("step")
    marks, sizes = [], []
    for i in range(FRAMES // 4):
        with outer:
            for _ in range(99):
                with inner:
                    pass
        for name in NAMES:
            rm(name, i)
        t0 = pc()
        fm()
        marks.append(pc() - t0 - over)
    _zel.flush()
    for f in _zel.Reader(os.environ["ZEL_RECORD"]):
        sizes.append(len(f.flame))
    return {"frame_mark": statistics.median(marks), "flame_bytes": statistics.median(sizes)}


def child_memory():
    import _zel

    _zel.enable()
    Scope, rm, fm = _zel.Scope, _zel.record_metric, _zel.frame_mark
    page = os.sysconf("SC_PAGESIZE")
    statm = open("/proc/self/statm", "rb", buffering=0)

    def rss_mb():
        statm.seek(0)
        return int(statm.read().split()[1]) * page / 1e6

    outer, inner = Scope("frame"), Scope("step")
    curve = []
    for i in range(200_000):
        with outer:
            for _ in range(20 + i % 7):  # frames differ in size and duration
                with inner:
                    pass
        rm("frame", i)
        fm()
        if i % 10_000 == 0 or i == 199_999:
            curve.append((i, round(rss_mb(), 2)))
    _zel.flush()
    return {"curve": curve}


def run_child(case, env):
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("ZEL_")}
    child_env.update(env)
    out = subprocess.run(
        [sys.executable, __file__, "--child", case],
        env=child_env,
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout)


def main(rounds):
    tmp = tempfile.mkdtemp(prefix="zel-capture-bench-")
    cases = {
        "armed, paced": ("armed_paced", {"ZEL_RECORD": f"{tmp}/a.zel"}),
        "armed, tight loop": ("armed_tight", {"ZEL_RECORD": f"{tmp}/b.zel"}),
        "not armed": ("disarmed", {}),
        "flame of 100 scopes": (
            "flame",
            {"ZEL_RECORD": f"{tmp}/c.zel", "ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "1"},
        ),
    }
    results = {name: [] for name in cases}
    for _ in range(rounds):
        for name, (case, env) in cases.items():
            results[name].append(run_child(case, env))

    def med(name, key):
        return statistics.median(r[key] for r in results[name])

    rows = [
        (
            "frame_mark(), armed, 4 metrics, no flame, paced",
            med("armed, paced", "frame_mark"),
            2000,
        ),
        (
            "frame_mark(), armed, 4 metrics, no flame, tight",
            med("armed, tight loop", "frame_mark"),
            2000,
        ),
        ("frame_mark(), not armed", med("not armed", "frame_mark"), 150),
        ("record_metric(name, value)", med("armed, paced", "record_metric"), 150),
        (
            "frame_mark(), flame of 100 scopes each frame",
            med("flame of 100 scopes", "frame_mark"),
            25000,
        ),
    ]
    print(f"{'case':<50}{'median ns':>11}{'goal ns':>9}{'of goal':>9}")
    for name, ns, goal in rows:
        print(f"{name:<50}{ns:>11.0f}{goal:>9}{ns / goal:>9.2f}")
    print(f"(flame frames of 100 scopes: {med('flame of 100 scopes', 'flame_bytes'):.0f} bytes)")

    curve = run_child(
        "memory", {"ZEL_RECORD": f"{tmp}/m.zel", "ZEL_RECORD_FLAME": "1", "ZEL_RECORD_EVERY": "10"}
    )["curve"]
    print("\nresident MB over 200,000 frames, flame every 10th:")
    print("  " + "  ".join(f"{i // 1000}k:{mb:.1f}" for i, mb in curve))
    steady = [mb for i, mb in curve if i >= 20_000]
    print(
        f"after 20k frames: min {min(steady):.1f} MB, max {max(steady):.1f} MB, "
        f"spread {(max(steady) - min(steady)) / min(steady) * 100:.1f}% (goal <= 10%)"
    )
    for name in os.listdir(tmp):
        os.remove(os.path.join(tmp, name))
    os.rmdir(tmp)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        case = sys.argv[2]
        result = {
            "armed_paced": lambda: child_armed(True),
            "armed_tight": lambda: child_armed(False),
            "disarmed": child_disarmed,
            "flame": child_flame,
            "memory": child_memory,
        }[case]()
        print(json.dumps(result))
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
