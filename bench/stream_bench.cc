// Throughput of the .zel stream: 1,000,000 frames of 8 system and 4 user values
// written through the writer thread, then read back by the C++ reader.
// The stream is left at $ZEL_BENCH_FILE (default /tmp/zel-bench.zel) for read_bench.py.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "record/stream_reader.h"
#include "record/stream_writer.h"

namespace {

using namespace zel;
using namespace zel::record;

constexpr int kFrames = 1'000'000;

std::string bench_file() {
  const char* p = std::getenv("ZEL_BENCH_FILE");
  return p ? p : "/tmp/zel-bench.zel";
}

format::Header header() {
  format::Header h;
  for (const char* name :
       {"frame_ms", "memory_mb", "io_ms", "io_MB", "gpu_util", "gpu_sm", "gpu_power", "gpu_mem"}) {
    h.columns.push_back({name, "u"});
  }
  return h;
}

void write_stream(const std::string& path) {
  auto tx = writer::start(path, header());
  for (uint16_t id = 8; id < 12; ++id) {
    if (tx.send(writer::DeclMsg{id, {"user" + std::to_string(id), "x"}})) std::abort();
  }
  for (int i = 0; i < kFrames; ++i) {
    double t = i * 0.001;
    writer::FrameMsg m{format::Record{{16.6 + t, 512.0, 0, 0, 40.0 + t, 30.0, 12.5, 800.0},
                                      {{8, t}, {9, 2 * t}, {10, 60.0}, {11, i % 7}},
                                      std::nullopt}};
    if (tx.send(std::move(m))) std::abort();
  }
  auto [ack, done] = make_rendezvous();
  if (writer::send(tx, writer::FlushMsg{std::move(ack)}) || !done.recv()) std::abort();
}

// Each run is one whole pass over the million frames; five runs give the median.
void whole_runs(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->UseRealTime();
}

void count_frames(benchmark::State& state) {
  state.counters["frames_per_s"] =
      benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_WriterFrames(benchmark::State& state) {
  for (auto _ : state) write_stream(bench_file());
  count_frames(state);
}
BENCHMARK(BM_WriterFrames)->Apply(whole_runs);

void BM_ReaderFrames(benchmark::State& state) {
  std::string path = bench_file();
  write_stream(path);
  for (auto _ : state) {
    auto r = read::Reader::open(path).take();
    int n = 0;
    while (auto f = unwrap(r.next_frame())) {
      benchmark::DoNotOptimize(f->system[0]);
      ++n;
    }
    if (n != kFrames) state.SkipWithError("frame count differs");
  }
  count_frames(state);
}
BENCHMARK(BM_ReaderFrames)->Apply(whole_runs);

}  // namespace

BENCHMARK_MAIN();
