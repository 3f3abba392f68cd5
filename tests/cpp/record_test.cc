#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "capture/named_scope.h"
#include "gpu/gpu_collector.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "record/io_acc.h"
#include "record/metrics_acc.h"
#include "record/recorder.h"
#include "record/stream_reader.h"
#include "tests/cpp/support.h"

namespace zel::record {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::panic_message;

TEST(ParseU64, TakesDigitsWithAnOptionalPlusAndNothingElse) {
  for (auto [raw, value] : std::vector<std::pair<std::string, uint64_t>>{
           {"0", 0}, {"+5", 5}, {"007", 7}, {"9", 9}, {"18446744073709551615", UINT64_MAX}})
    EXPECT_EQ(parse_u64("V", raw), value) << raw;
  for (std::string bad : {"", "+", "-1", "5 ", " 5", "0x10", "1_000", "++1", "/", ":",
                          "18446744073709551616", "18446744073709551620", "99999999999999999999"})
    EXPECT_EQ(panic_message([&] { parse_u64("V", bad); }),
              "V must be a positive integer, got \"" + bad + "\"");
}

// Flame frames carry the newest frame; records stop after `stop_after` marks.
TEST(Recorder, FlameFramesFollowThePeriodAndTheLimitAndRecordsStopAtTheirs) {
  profiler::set_scopes_on(true);
  testing::TempDir dir;
  struct Case {
    uint64_t every;
    std::optional<uint64_t> max;
    std::optional<uint64_t> stop;
    std::string scopes;  // per mark: whether a scope ran in its frame
    std::string flames;  // per record: whether it carries flame bytes
  };
  for (const auto& [every, max, stop, scopes, flames] :
       std::vector<Case>{{1, std::nullopt, std::nullopt, "0101", "0111"},
                         {1, 1, std::nullopt, "0011", "0010"},
                         {2, std::nullopt, 3, "11111", "101"},
                         {1, std::nullopt, 0, "11", ""}}) {
    const std::string path = dir.file(std::to_string(every) + scopes + flames);
    {
      auto r = Recorder::create({.path = path,
                                 .flame_enabled = true,
                                 .flame_every = every,
                                 .max_frames = max,
                                 .stop_after = stop});
      for (char s : scopes) {
        if (s == '1') auto g = scope::scope("work");
        profiler::new_frame();
        r->mark_frame();
      }
      r->flush();
    }
    std::string got;
    Bytes last;
    auto reader = unwrap(read::Reader::open(path));
    const auto frames = testing::read_all(reader);
    for (size_t i = 0; i < frames.size(); ++i) {
      got += frames[i].flame ? '1' : '0';
      if (!frames[i].flame) continue;
      EXPECT_EQ(oracle::decode(*frames[i].flame).threads.size(), 1u);
      // A mark after a frame without scopes carries the newest frame the view holds.
      EXPECT_TRUE(scopes[i] == '1' || *frames[i].flame == last) << i;
      last = *frames[i].flame;
    }
    EXPECT_EQ(got, flames) << scopes;
  }
}

TEST(Recorder, EachFrameTakesTheLastValueOfEveryMetricAsAUserColumnUntilEveryIdIsTaken) {
  testing::TempDir dir;
  {
    auto r = Recorder::create({.path = dir.file("m.zel")});
    metrics_acc::record_metric("a", 2);
    metrics_acc::record_metric_unit("a", "ms");
    metrics_acc::record_metric_unit("a", "s");       // the last registration wins
    metrics_acc::record_metric_unit("unused", "x");  // adds no value
    r->mark_frame();
    r->flush();
  }
  auto reader = unwrap(read::Reader::open(dir.file("m.zel")));
  const auto frames = testing::read_all(reader);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].user, (std::vector<std::pair<std::string, double>>{{"a", 2}}));
  EXPECT_EQ(reader.user_columns(), (std::vector<format::Column>{{"a", "s"}}));

  auto [tx, rx] = make_queue<writer::Msg>();
  FrameState state;
  for (size_t i = 0; i + 1 < kMaxUserColumns; ++i)
    state.user_ids.emplace("m" + std::to_string(i), static_cast<uint16_t>(kFirstUserId + i));
  EXPECT_EQ(Recorder::column_id(state, tx, "last", "u"), 65535);
  EXPECT_EQ(Recorder::column_id(state, tx, "m7", ""), 15);
  EXPECT_EQ(Recorder::column_id(state, tx, "new", "u"), std::nullopt);
  EXPECT_EQ(state.user_ids.size(), kMaxUserColumns);
  { auto gone = std::move(tx); }
  std::deque<writer::Msg> sent;
  ASSERT_TRUE(rx.recv_all(sent));
  ASSERT_EQ(sent.size(), 1u);  // only "last" was declared
  EXPECT_EQ(std::get<format::Decl>(sent[0]).id, 65535);
}

TEST(SystemColumns, ValuesInDecimalUnitsFromTheReadingsOfEachMark) {
  io_acc::IO_NS.store(4'000'000);
  io_acc::IO_BYTES.store(2'500'000);
  gpu::publish({3'000'000, 40.5f, 30.25f, 7.5f});
  std::optional<Clock::time_point> previous;
  const Clock::time_point t0 = Clock::now();
  const system::SystemSample first = system::build_sample(previous, t0);
  EXPECT_EQ(system::column_values(first),
            (std::array<double, 8>{0, first.memory_mb, 4.0, 2.5, 40.5, 30.25, 7.5, 3.0}));
  // The counters are taken, the cells read.
  const auto next = system::column_values(system::build_sample(previous, t0 + 16'600'000ns));
  EXPECT_EQ(next, (std::array<double, 8>{16.6, next[1], 0, 0, 40.5, 30.25, 7.5, 3.0}));
  EXPECT_EQ(system::build_sample(previous, t0 + 20ms).frame_ns, 3'400'000u);
  gpu::publish({});

  // Resident memory, as the kernel counts it: read anew, unless the last reading is
  // under a millisecond old.
  std::ifstream status("/proc/self/status");
  std::string rss;
  while (std::getline(status, rss) && rss.rfind("VmRSS:", 0) != 0) continue;
  EXPECT_NEAR(static_cast<double>(system::memory_stats().value()), std::stod(rss.substr(6)) * 1024,
              1e6);
  const double mb = system::build_sample(previous, t0 + 1s).memory_mb;
  std::vector<char> block(64 << 20, 1);
  EXPECT_EQ(system::build_sample(previous, t0 + 1s + system::kMemoryReuse - 1ns).memory_mb, mb);
  EXPECT_GT(system::build_sample(previous, t0 + 1s + system::kMemoryReuse).memory_mb, mb + 60);
  EXPECT_EQ(block[4096], 1);
}

}  // namespace
}  // namespace zel::record
