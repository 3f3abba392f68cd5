// The cost of one frame's system sample on the frame path: the clock, the resident
// memory read, the two I/O exchanges, the four GPU cell loads and the eight extractors.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>

#include "record/system_columns.h"

namespace {

using namespace zel::system;

// Frames 16 ms apart, as in a 60 Hz loop: every sample reads the resident size.
void BM_BuildSample(benchmark::State& state) {
  std::optional<std::chrono::steady_clock::time_point> previous;
  auto now = std::chrono::steady_clock::now();
  for (auto _ : state) {
    now += std::chrono::milliseconds(16);
    SystemSample s = build_sample(previous, now);
    auto values = column_values(s);
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_BuildSample);

// Back-to-back frames, closer than kMemoryReuse: the resident size is read once.
void BM_BuildSampleTightLoop(benchmark::State& state) {
  std::optional<std::chrono::steady_clock::time_point> previous;
  for (auto _ : state) {
    SystemSample s = build_sample(previous);
    auto values = column_values(s);
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_BuildSampleTightLoop);

void BM_MemoryStats(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(memory_stats());
}
BENCHMARK(BM_MemoryStats);

}  // namespace

BENCHMARK_MAIN();
