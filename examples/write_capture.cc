// Records a small capture the way a frame loop does, through the real pipeline: a
// 60 Hz loop of 240 frames with runtime-named scopes on two threads, three user
// metrics, the system sample of every frame and, every 4th frame, a flame frame
// from the frame view; the writer thread appends it all and is flushed before exit.
// Usage: write_capture OUT.zel
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <thread>

#include "profiler/global_profiler.h"
#include "profiler/profile_view.h"
#include "profiler/thread_profiler.h"
#include "src/gpu/mod.h"
#include "src/record/writer.h"
#include "src/scope.h"
#include "src/system.h"

using namespace zel;
using namespace zel::record;
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
  profiler::set_scopes_on(true);
  gpu::ensure_collector();
  profiler::GlobalFrameView view;
  auto queue = writer::start(argv[1], {system::header_columns(), 2, true});

  const char* names[] = {"entities", "physics_steps", "draw_calls"};
  const char* units[] = {"", "steps", "calls"};
  for (uint16_t i = 0; i < 3; ++i) {
    if (queue.send(writer::DeclMsg{static_cast<uint16_t>(8 + i), names[i], units[i]})) return 1;
  }

  // A second thread streams assets in scoped chunks while the loop runs.
  std::atomic<bool> running{true};
  std::thread loader([&] {
    while (running) {
      auto g = scope::scope("load_chunk");
      work(3000);
    }
  });

  std::optional<Clock::time_point> previous;
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

    profiler::new_frame();
    system::SystemSample sample = system::build_sample(previous);
    auto values = system::column_values(sample);
    std::optional<Bytes> flame;
    if (f % 4 == 0) {
      auto v = view.lock();
      if (auto newest = v->newest()) {
        flame.emplace();
        unwrap(profiler::write_into(*newest, &v->scope_collection(), *flame));
      }
    }
    std::vector<std::pair<uint16_t, double>> user = {
        {8, entities}, {9, steps}, {10, 40 + entities / 10}};
    if (queue.send(writer::FrameMsg{{{values.begin(), values.end()}, user, std::move(flame)}}))
      return 1;
    next_frame += std::chrono::microseconds(16667);
    std::this_thread::sleep_until(next_frame);
  }
  running = false;
  loader.join();

  auto [ack, done] = make_rendezvous();
  if (queue.send(writer::FlushMsg{std::move(ack)}) || !done.recv()) {
    std::fprintf(stderr, "the writer thread ended before the flush\n");
    return 1;
  }
  std::printf("wrote 240 frames to %s\n", argv[1]);
  return 0;
}
