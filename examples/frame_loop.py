"""A small particle simulation that runs a real 60 Hz frame loop for four seconds and
records it with zel, flame frames included, then prints what the capture holds.

Each frame integrates a few hundred particles, lets them collide with the walls,
rasterises them into a text canvas and records its own metrics; every second a burst
of new particles arrives with a slow lighting bake that makes that frame late. A
second thread computes checksums of "assets" in scoped chunks meanwhile.

Usage: python examples/frame_loop.py [CAPTURE.zel]   (default: demo.zel)
ZEL_RECORD, ZEL_RECORD_FLAME and ZEL_RECORD_EVERY from the environment win over the
defaults set here (a flame frame every 4th frame).
"""

import hashlib
import math
import os
import random
import sys
import threading
import time

WIDTH, HEIGHT = 64, 18
FPS, SECONDS = 60, 4


def configure(path):
    os.environ.setdefault("ZEL_RECORD", path)
    os.environ.setdefault("ZEL_RECORD_FLAME", "1")
    os.environ.setdefault("ZEL_RECORD_EVERY", "4")


configure(sys.argv[1] if len(sys.argv) > 1 else "demo.zel")

import zel  # noqa: E402  (after the environment is set; enable() reads it)


class Particles:
    def __init__(self, n, rng):
        self.rng = rng
        self.x, self.y, self.vx, self.vy = [], [], [], []
        self.spawn(n)

    def spawn(self, n):
        for _ in range(n):
            self.x.append(self.rng.uniform(0, WIDTH))
            self.y.append(self.rng.uniform(0, HEIGHT / 2))
            angle = self.rng.uniform(0, 2 * math.pi)
            self.vx.append(12 * math.cos(angle))
            self.vy.append(12 * math.sin(angle))

    @zel.profile
    def step(self, dt):
        """Integrates and bounces every particle; returns (kinetic energy, bounces)."""
        with zel.Scope("integrate"):
            for i in range(len(self.x)):
                self.vy[i] += 9.81 * dt
                self.x[i] += self.vx[i] * dt
                self.y[i] += self.vy[i] * dt
        with zel.Scope("collide"):
            bounces = 0
            for i in range(len(self.x)):
                if not 0 <= self.x[i] < WIDTH:
                    self.vx[i] = -self.vx[i]
                    self.x[i] = min(max(self.x[i], 0), WIDTH - 1e-6)
                    bounces += 1
                if not 0 <= self.y[i] < HEIGHT:
                    self.vy[i] = -0.9 * self.vy[i]
                    self.y[i] = min(max(self.y[i], 0), HEIGHT - 1e-6)
                    bounces += 1
        energy = sum(0.5 * (vx * vx + vy * vy) for vx, vy in zip(self.vx, self.vy))
        return energy, bounces


@zel.profile
def render(particles):
    """Draws the particles into a text canvas, denser cells with heavier glyphs."""
    with zel.Scope("rasterize"):
        counts = [[0] * WIDTH for _ in range(HEIGHT)]
        for x, y in zip(particles.x, particles.y):
            counts[int(y)][int(x)] += 1
    with zel.Scope("compose"):
        glyphs = " .:*#@"
        rows = ["".join(glyphs[min(c, 5)] for c in row) for row in counts]
        return (
            "+"
            + "-" * WIDTH
            + "+\n"
            + "\n".join(f"|{r}|" for r in rows)
            + "\n+"
            + "-" * WIDTH
            + "+"
        )


@zel.profile
def bake_lighting():
    """A stand-in for the occasional expensive step: some 20 ms of hashing."""
    return hashlib.sha256(bytes(10_000_000)).digest()


@zel.profile
def checksum(chunk):
    return hashlib.sha256(chunk).hexdigest()


def load_assets(stop):
    """The second thread: checksums 256 KB chunks, one scope per chunk."""
    rng = random.Random(7)
    while not stop.is_set():
        with zel.Scope("load_chunk"):
            checksum(rng.randbytes(256 * 1024))
        time.sleep(0.005)


def main():
    zel.enable()
    zel.record_metric_unit("kinetic_energy", "J")
    zel.record_metric_unit("bounces", "bounces")
    zel.record_metric_unit("particles", "particles")
    zel.record_metric_unit("draw_ms", "ms")

    stop = threading.Event()
    loader = threading.Thread(target=load_assets, args=(stop,), name="loader")
    loader.start()

    particles = Particles(300, random.Random(1))
    frame_time = 1 / FPS
    next_frame = time.perf_counter()
    canvas = ""
    for frame in range(FPS * SECONDS):
        with zel.Scope("frame"):
            # Late in each second, on a frame that carries a flame frame (every 4th),
            # so the summary and the report can show what made it slow.
            if frame % FPS == FPS - 4:
                with zel.Scope("spawn_burst"):
                    particles.spawn(600)  # more work in every frame after this one
                    bake_lighting()  # and a hitch in this one
            energy, bounces = particles.step(frame_time)
            t0 = time.perf_counter()
            canvas = render(particles)
            draw_ms = (time.perf_counter() - t0) * 1000
        zel.record_metric("particles", len(particles.x))
        zel.record_metric("kinetic_energy", energy)
        zel.record_metric("bounces", bounces)
        zel.record_metric("draw_ms", draw_ms)
        zel.frame_mark()
        next_frame += frame_time
        time.sleep(max(0.0, next_frame - time.perf_counter()))

    stop.set()
    loader.join()
    zel.flush()

    print(canvas)
    # What the capture holds, as `zel summary CAPTURE` prints it.
    from zel.cli import main as zel_command

    zel_command(["summary", os.environ["ZEL_RECORD"]])


if __name__ == "__main__":
    main()
