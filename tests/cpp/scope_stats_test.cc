#include "record/scope_stats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "profiler/flame_format.h"

namespace zel::record {
namespace {

using profiler::NanoSecond;
using profiler::ScopeId;
using profiler::ThreadInfo;

// A thread's scope stream written record by record.
struct Stream {
  Bytes bytes;
  Stream& begin(ScopeId id, NanoSecond start) {
    const size_t at = bytes.size();
    bytes.resize(at + profiler::scope_record::begin_len(0));
    profiler::scope_record::put_begin(bytes.data() + at, id, "");
    profiler::scope_record::set_start(bytes.data() + at, start);
    return *this;
  }
  Stream& end(NanoSecond stop) {
    profiler::scope_record::put_end(bytes, stop);
    return *this;
  }
};

// A flame frame spanning [start, stop] whose threads report up to `reported`, with the
// scope names 1 outer, 2 rec, 3 cut, 4 late.
Bytes flame(NanoSecond start, NanoSecond stop, NanoSecond reported,
            std::vector<std::pair<ThreadInfo, Stream>> threads) {
  profiler::ThreadStreams streams;
  for (auto& [info, s] : threads) {
    auto info_ptr = std::make_shared<profiler::StreamInfo>();
    info_ptr->stream = std::move(s.bytes);
    info_ptr->range_ns = {start, reported};
    streams[info] = std::move(info_ptr);
  }
  std::vector<profiler::SharedScopeDetails> names;
  ScopeId id = 1;
  for (const char* name : {"outer", "rec", "cut", "late"}) {
    names.push_back(std::make_shared<const profiler::ScopeDetails>(
        profiler::ScopeDetails{id++, name, "f", "a.py", 1}));
  }
  Bytes out;
  profiler::append_flame_frame({0, {start, stop}, 0, 0}, profiler::pack_streams(streams), names,
                               out);
  return out;
}

// Frame A [100, 200]: main runs outer (open) > rec [110, 150] > rec [120, 140], then
// cut from 160, still open; the worker runs rec [130, 170]. Frame B [200, 300]: outer
// closes at 280 and cut at 230, rec runs [240, 260], and late opens at 290 (its thread
// reports up to 320); the worker runs rec from 210 twice, to 220 and to 250, which is
// one scope, then rec [240, 260], which starts where that one ends: at 250. Between
// them a frame that does not decode.
TEST(ScopeStats, FramesClipScopesCountLongCallsOnceAndRecursionOnceInTotals) {
  const ThreadInfo main{50, "main"}, worker{std::nullopt, ""};
  const Bytes a = flame(
      100, 200, 200,
      {{main, Stream().begin(1, 90).begin(2, 110).begin(2, 120).end(140).end(150).begin(3, 160)},
       {worker, Stream().begin(2, 130).end(170)}});
  const Bytes b = flame(
      200, 300, 320,
      {{main,
        Stream().begin(1, 90).begin(3, 160).end(230).begin(2, 240).end(260).end(280).begin(4, 290)},
       {worker, Stream().begin(2, 210).end(220).begin(2, 210).end(250).begin(2, 240).end(260)}});
  const Bytes junk = {'P', 'F', 'D', '4', 1};
  const std::vector<std::span<const uint8_t>> flames = {a, junk, b};

  const ScopeStats by_name = scope_stats(flames, false);
  EXPECT_EQ(by_name.threads, (std::vector<ThreadInfo>{worker, main}));
  EXPECT_EQ(by_name.undecodable, std::vector<size_t>{1});
  using Row = std::tuple<std::string, uint64_t, uint64_t, uint64_t, int64_t, int64_t, double,
                         double, double, int64_t, double, double>;
  std::vector<Row> got;
  for (const ScopeRow& r : by_name.rows) {
    EXPECT_EQ(r.thread, -1);
    got.emplace_back(r.name, r.calls, r.open_calls, r.frames, r.total_ns, r.self_ns, r.call_mean_ns,
                     r.call_p50_ns, r.call_p99_ns, r.call_max_ns, r.self_frame_mean_ns,
                     r.self_frame_p99_ns);
  }
  // rec: calls 40 20 40 | 20 40 20; per frame self 20 + 20 + 40 | 20 + 40 + 10.
  // outer: 100 - 40 - 40 | 80 - 30 - 20; late: clipped to 10, 30 known, never closed.
  const std::vector<Row> want = {
      {"rec", 6, 0, 2, 150, 150, 30.0, 30.0, 40.0, 40, 75.0, 70 + 10 * 0.99},
      {"outer", 1, 0, 2, 180, 50, 190.0, 190.0, 190.0, 190, 25.0, 20 + 10 * 0.99},
      {"cut", 1, 0, 2, 70, 70, 70.0, 70.0, 70.0, 70, 35.0, 30 + 10 * 0.99},
      {"late", 1, 1, 1, 10, 10, 30.0, 30.0, 30.0, 30, 5.0, 10 * 0.99},
  };
  EXPECT_EQ(got, want);  // the same arithmetic: exact

  // Per thread, rec splits: the worker's 40 | 40 20, main's 40 20 | 20.
  std::set<std::tuple<int64_t, std::string, uint64_t, int64_t, double>> threads;
  for (const ScopeRow& r : scope_stats(flames, true).rows)
    threads.emplace(r.thread, r.name, r.calls, r.total_ns, r.call_p50_ns);
  EXPECT_EQ(threads, (decltype(threads){{0, "rec", 3, 90, 40.0},
                                        {1, "rec", 3, 60, 20.0},
                                        {1, "outer", 1, 180, 190.0},
                                        {1, "cut", 1, 70, 70.0},
                                        {1, "late", 1, 10, 30.0}}));

  const ScopePaths paths = scope_paths(flames);
  EXPECT_EQ(paths.undecodable, std::vector<size_t>{1});
  std::set<std::tuple<uint32_t, std::string, uint64_t, int64_t, int64_t>> tree;
  for (size_t i = 0; i < paths.nodes.size(); ++i) {
    const PathNode& n = paths.nodes[i];
    std::string path = n.name;
    for (int64_t up = n.parent; up >= 0; up = paths.nodes[up].parent) {
      ASSERT_LT(up, static_cast<int64_t>(i));  // parents first
      path = paths.nodes[up].name + ";" + path;
    }
    tree.emplace(n.thread, path, n.calls, n.total_ns, n.self_ns);
  }
  EXPECT_EQ(tree, (decltype(tree){{0, "rec", 3, 90, 90},
                                  {1, "outer", 1, 180, 50},
                                  {1, "outer;rec", 2, 60, 40},
                                  {1, "outer;rec;rec", 1, 20, 20},
                                  {1, "outer;cut", 1, 70, 70},
                                  {1, "late", 1, 10, 10}}));
}

}  // namespace
}  // namespace zel::record
