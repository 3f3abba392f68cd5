// The scope path and flame frames: a begin/end pair on a thread's stream (also under
// deep nesting), runtime named scopes, write_into of a 10,000-scope frame (first call
// packs, second reuses), and the frame view's footprint after 100,000 frames of 100
// scopes.
#include <benchmark/benchmark.h>

#include <thread>

#include "capture/named_scope.h"
#include "profiler/frame_view.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"

namespace {

using namespace profiler;

void discard(ThreadInfo, std::span<const ScopeDetails>, const StreamInfoRef&) {}

constexpr int kPairs = 1000;

// kPairs begin/end pairs with no data text inside one outer scope, whose end hands
// the segment to a reporter that drops it.
void BM_BeginEndPair(benchmark::State& state) {
  ThreadProfiler p;
  p.set_reporter(discard);
  for (auto _ : state) {
    size_t outer = p.begin_scope(1, "");
    for (int i = 0; i < kPairs; ++i) p.end_scope(p.begin_scope(2, ""));
    p.end_scope(outer);
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_BeginEndPair)->Repetitions(5)->ReportAggregatesOnly();

// The same pairs under 5,000 open scopes that nobody receives: the thread hands its
// segment over every 64 KiB and opens the 5,000 again each time, which must stay a
// small share of the pairs' cost however deep the nesting.
void BM_BeginEndPairDeep(benchmark::State& state) {
  ThreadProfiler p;
  for (int i = 0; i < 5000; ++i) (void)p.begin_scope(1, "deep");
  for (auto _ : state) {
    for (int i = 0; i < kPairs; ++i) p.end_scope(p.begin_scope(2, ""));
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_BeginEndPairDeep)->Repetitions(5)->ReportAggregatesOnly();

// Outermost scopes: each end hands its segment to the global profiler.
void BM_OutermostScope(benchmark::State& state) {
  for (auto _ : state) {
    ThreadProfiler::call([](ThreadProfiler& p) {
      for (int i = 0; i < kPairs; ++i) p.end_scope(p.begin_scope(2, ""));
    });
    new_frame();
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_OutermostScope)->Repetitions(5)->ReportAggregatesOnly();

// The same through a runtime-named scope: locked name look-up, then the pair.
void BM_RuntimeNamedScope(benchmark::State& state) {
  set_scopes_on(true);
  auto outer = zel::scope::scope("bench.outer");
  for (auto _ : state) {
    for (int i = 0; i < kPairs; ++i) zel::scope::scope("bench.inner");
    outer.end();  // reports the finished segment
    outer = zel::scope::scope("bench.outer");
    new_frame();
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_RuntimeNamedScope)->Repetitions(5)->ReportAggregatesOnly();

// One frame of 10,000 scopes on 4 threads: each thread runs 25 outer scopes of
// 99 children.
std::map<ThreadInfo, StreamInfo> big_frame_streams() {
  std::map<ThreadInfo, StreamInfo> out;
  new_frame();
  std::shared_ptr<FrameData> frame;
  FrameSinkId sink =
      GlobalProfiler::lock()->add_sink([&](std::shared_ptr<FrameData> f) { frame = f; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      ThreadProfiler::call([](ThreadProfiler& p) {
        for (int o = 0; o < 25; ++o) {
          size_t outer = p.begin_scope(1, "");
          for (int i = 0; i < 99; ++i) p.end_scope(p.begin_scope(2, "child"));
          p.end_scope(outer);
        }
      });
    });
  }
  for (auto& t : threads) t.join();
  new_frame();
  GlobalProfiler::lock()->remove_sink(sink);
  for (const auto& [info, s] : frame->unpacked()->thread_streams) out.emplace(info, *s);
  return out;
}

void BM_WriteIntoFirstCall(benchmark::State& state) {
  const auto streams = big_frame_streams();
  zel::Bytes out;
  for (auto _ : state) {
    state.PauseTiming();
    auto frame = FrameData::create(0, streams, {}, false);
    out.clear();
    state.ResumeTiming();
    (void)frame->write_into(nullptr, out);
  }
  state.counters["flame_bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_WriteIntoFirstCall)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

void BM_WriteIntoAgain(benchmark::State& state) {
  auto frame = FrameData::create(0, big_frame_streams(), {}, false);
  zel::Bytes out;
  (void)frame->write_into(nullptr, out);
  for (auto _ : state) {
    out.clear();
    (void)frame->write_into(nullptr, out);
  }
  state.counters["flame_bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_WriteIntoAgain)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();

// 100,000 frames of 100 scopes (one outer scope of 99 children) through a frame view.
void BM_FrameViewFootprint(benchmark::State& state) {
  for (auto _ : state) {
    GlobalFrameView view;
    ThreadProfiler::call([](ThreadProfiler& p) {
      for (int f = 0; f < 100'000; ++f) {
        size_t outer = p.begin_scope(1, "");
        for (int i = 0; i < 99; ++i) p.end_scope(p.begin_scope(2, ""));
        p.end_scope(outer);
        new_frame();
      }
    });
    auto v = view.lock();
    const Footprint& fp = v->footprint();
    state.counters["recent"] = static_cast<double>(v->recent_frames().size());
    state.counters["slow"] = static_cast<double>(v->slow_by_index().size());
    state.counters["held"] = static_cast<double>(fp.frame_count);
    state.counters["unpacked"] = static_cast<double>(fp.unpacked_count);
    state.counters["bytes"] = static_cast<double>(fp.byte_count);
    state.counters["unpacked_bytes"] =
        static_cast<double>(fp.frame_count * v->newest()->meta().num_bytes);
  }
}
BENCHMARK(BM_FrameViewFootprint)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
