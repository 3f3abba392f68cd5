// The frame mark in C++, without the Python call around it: a recorder writing to a
// temporary file, four user metrics per frame, with and without a flame frame of 100
// scopes on every frame, next to the steps it is made of.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/channel.h"
#include "capture/named_scope.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "record/metrics_acc.h"
#include "record/recorder.h"

namespace {

using namespace zel;

std::string temp_path(const char* name) {
  return std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zel-bench-" +
         std::to_string(getpid()) + "-" + name;
}

using Clock = std::chrono::steady_clock;

// Times `measured` alone; `setup` runs before it, untimed.
template <class Setup, class Measured>
void timed(benchmark::State& state, Setup setup, Measured measured) {
  for (auto _ : state) {
    setup();
    const auto t0 = Clock::now();
    measured();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
}

void record_four() {
  metrics_acc::record_metric("loss", 0.5);
  metrics_acc::record_metric("lr", 1e-3);
  metrics_acc::record_metric("particles", 4096);
  metrics_acc::record_metric("draw_calls", 120);
}

// Times the frame mark (closing the profiler frame, then the recorder's part) of a
// recorder writing to a temporary file; `frame` runs untimed before each mark.
template <class Frame>
void mark_frames(benchmark::State& state, bool flame, Frame frame) {
  const std::string path = temp_path(flame ? "flame.zel" : "metrics.zel");
  auto r = record::Recorder::create({.path = path, .flame_enabled = flame});
  timed(state, frame, [&] {
    profiler::new_frame();
    r->mark_frame();
  });
  r->flush();
  unlink(path.c_str());
}

void BM_MarkFrameFourMetrics(benchmark::State& state) {
  mark_frames(state, false, record_four);
}
BENCHMARK(BM_MarkFrameFourMetrics)->UseManualTime();

void BM_MarkFrameWithFlameOf100Scopes(benchmark::State& state) {
  profiler::set_scopes_on(true);
  const profiler::ScopeId outer = scope::scope_id("frame");
  const profiler::ScopeId inner = scope::scope_id("step");
  mark_frames(state, true, [&] {
    scope::ScopeGuard f = scope::begin(outer);
    for (int i = 0; i < 99; ++i) scope::begin(inner);
    record_four();
  });
}
BENCHMARK(BM_MarkFrameWithFlameOf100Scopes)->UseManualTime();

void BM_RecordMetric(benchmark::State& state) {
  timed(
      state, [] { metrics_acc::drain(); }, record_four);
  state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_RecordMetric)->UseManualTime();

void BM_DrainFour(benchmark::State& state) {
  timed(state, record_four, [] { benchmark::DoNotOptimize(metrics_acc::drain()); });
}
BENCHMARK(BM_DrainFour)->UseManualTime();

void BM_NewEmptyProfilerFrame(benchmark::State& state) {
  for (auto _ : state) profiler::new_frame();
}
BENCHMARK(BM_NewEmptyProfilerFrame);

// A send to a queue whose receiver thread sleeps until the next item: what every frame
// mark would pay if the writer thread did not linger.
void BM_SendToAWaitingWriter(benchmark::State& state) {
  auto [tx, rx] = make_queue<int>();
  std::thread consumer([rx = std::move(rx)]() mutable {
    std::deque<int> got;
    while (rx.recv_all(got)) got.clear();
  });
  // Each send finds the receiver asleep again.
  timed(
      state, [] { usleep(50); },
      [&] {
        if (tx.send(1)) state.SkipWithError("receiver gone");
      });
  { auto gone = std::move(tx); }
  consumer.join();
}
BENCHMARK(BM_SendToAWaitingWriter)->Iterations(20000)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
