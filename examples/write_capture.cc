// Records a small capture from C++ the way a frame loop does: a 60 Hz loop of 240
// frames with runtime-named scopes on two threads and three user metrics, armed
// through the environment with a flame frame every 4th frame, flushed before exit.
// Usage: write_capture OUT.zel
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include <cstdlib>

#include "base/error.h"
#include "capture/entry_points.h"
#include "capture/named_scope.h"
#include "record/metrics_acc.h"

using namespace zel;
using Clock = std::chrono::steady_clock;

namespace {

// Busy work standing in for a simulation step: about `us` microseconds of arithmetic.
double work(int us) {
  double x = 0;
  const auto until = Clock::now() + std::chrono::microseconds(us);
  while (Clock::now() < until) x += std::sqrt(x + 1.0);
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.zel\n", argv[0]);
    return 2;
  }
  setenv("ZEL_RECORD", argv[1], 1);
  setenv("ZEL_RECORD_FLAME", "1", 1);
  setenv("ZEL_RECORD_EVERY", "4", 1);
  try {
    enable();
    metrics_acc::record_metric_unit("physics_steps", "steps");
    metrics_acc::record_metric_unit("draw_calls", "calls");

    // A second thread streams assets in scoped chunks while the loop runs.
    std::atomic<bool> running{true};
    std::thread loader([&] {
      while (running) {
        auto g = scope::scope("load_chunk");
        work(3000);
      }
    });

    auto next_frame = Clock::now();
    for (int f = 0; f < 240; ++f) {
      const int entities = 100 + f / 4;
      const int steps = f % 50 == 49 ? 3 : 1;  // every 50th frame catches up, and hitches
      {
        auto frame = scope::scope("frame");
        {
          auto update = scope::scope("update");
          for (int s = 0; s < steps; ++s) {
            auto physics = scope::scope("physics");
            work(2000 + entities * 10);
          }
        }
        auto draw = scope::scope("draw");
        work(4000);
      }
      metrics_acc::record_metric("entities", entities);
      metrics_acc::record_metric("physics_steps", steps);
      metrics_acc::record_metric("draw_calls", 40 + entities / 10);
      frame_mark();
      next_frame += std::chrono::microseconds(16667);
      std::this_thread::sleep_until(next_frame);
    }
    running = false;
    loader.join();
    flush_recording();
  } catch (const Panic& p) {
    std::fprintf(stderr, "recording failed: %s\n", p.what());
    return 1;
  }
  std::printf("wrote 240 frames to %s\n", argv[1]);
  return 0;
}
