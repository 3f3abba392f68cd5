#include "profiler/flame_format.h"
#include "profiler/thread_profiler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/cpp/flame_decoder.h"
#include "tests/cpp/support.h"

namespace profiler {
namespace {

using zel::Bytes;
using zel::testing::FlameDecoder;

// A clock that ticks 1000 ns per read, and a reporter that keeps every report.
NanoSecond fake_time = 0;
NanoSecond fake_clock() {
  return fake_time += 1000;
}

struct Report {
  ThreadInfo info;
  std::vector<ScopeDetails> details;
  Bytes stream;
  uint64_t num_scopes, depth;
  RangeNs range;
};
std::vector<Report> reports;
void keep_report(ThreadInfo info, std::span<const ScopeDetails> details, const StreamInfoRef& s) {
  reports.push_back({info,
                     {details.begin(), details.end()},
                     {s.stream.begin(), s.stream.end()},
                     s.num_scopes,
                     s.depth,
                     s.range_ns});
}

// A profiler of its own per test, with the fake clock and the keeping reporter.
class ThreadProfilerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_time = 0;
    reports.clear();
    p.set_clock(fake_clock);
    p.set_reporter(keep_report);
  }
  ThreadProfiler p;
};

Bytes le64(int64_t v) {
  Bytes b(8);
  std::memcpy(b.data(), &v, 8);
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) zel::put_bytes(out, p.data(), p.size());
  return out;
}

TEST_F(ThreadProfilerTest, SingleScopeIsThirtyOneBytes) {
  size_t at = p.begin_scope(1, "");
  EXPECT_EQ(at, 14u);
  p.end_scope(at);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].stream,
            concat({{0x28, 1, 0, 0, 0}, le64(1000), {0}, Bytes(8, 0), {0x29}, le64(2000)}));
  EXPECT_EQ(reports[0].num_scopes, 1u);
  EXPECT_EQ(reports[0].depth, 1u);
  EXPECT_EQ(reports[0].range, (RangeNs{1000, 2000}));
  EXPECT_EQ(reports[0].info, (ThreadInfo{1000, ""}));
  EXPECT_EQ(p.stream_info().stream.size(), 0u);  // reset after the report
}

TEST_F(ThreadProfilerTest, ParentSizeCoversItsChildren) {
  size_t outer = p.begin_scope(1, "");
  size_t inner = p.begin_scope(2, "");
  p.end_scope(inner);
  EXPECT_TRUE(reports.empty());  // reported only when the outermost scope closes
  p.end_scope(outer);
  ASSERT_EQ(reports.size(), 1u);
  const Bytes& s = reports[0].stream;
  EXPECT_EQ(zel::load_fixed<uint64_t>(s.data() + outer), 31u);
  auto scopes = FlameDecoder::parse_stream(s);
  ASSERT_EQ(scopes.size(), 1u);
  ASSERT_EQ(scopes[0].children.size(), 1u);
  EXPECT_EQ(scopes[0].children[0].id, 2u);
  EXPECT_EQ(reports[0].depth, 2u);
  EXPECT_EQ(reports[0].num_scopes, 2u);
}

TEST_F(ThreadProfilerTest, FlatScopesHaveDepthOneAndOpenScopesAreNotCounted) {
  size_t outer = p.begin_scope(1, "");
  for (int i = 0; i < 3; ++i) p.end_scope(p.begin_scope(2, ""));
  p.begin_scope(3, "");  // still open
  EXPECT_EQ(p.stream_info().num_scopes, 3u);
  EXPECT_EQ(p.stream_info().depth, 2u);
  (void)outer;
}

TEST_F(ThreadProfilerTest, DataTextIsCutAtCharacterBoundaries) {
  auto data_len = [&](const std::string& data) {
    reports.clear();
    p.end_scope(p.begin_scope(1, data));
    return FlameDecoder::parse_stream(reports.at(0).stream).at(0).data.size();
  };
  EXPECT_EQ(data_len(std::string(127, 'a')), 127u);
  EXPECT_EQ(data_len(std::string(128, 'a')), 127u);
  EXPECT_EQ(data_len(std::string(126, 'a') + "\xc3\xa9" + "tail"), 126u);  // é at 126..127
  EXPECT_EQ(data_len(std::string(200, '\x80')), 0u);  // no boundary but position 0
}

TEST_F(ThreadProfilerTest, LaterSegmentsKeepTheFirstStartTime) {
  p.end_scope(p.begin_scope(1, ""));
  p.end_scope(p.begin_scope(1, ""));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].info.start_time_ns, reports[0].info.start_time_ns);
  EXPECT_EQ(reports[1].range.first, 3000);
}

TEST_F(ThreadProfilerTest, DetailsTravelWithTheNextReportOnly) {
  p.register_scope({7, std::nullopt, "draw", "", 0});
  p.end_scope(p.begin_scope(7, ""));
  p.end_scope(p.begin_scope(7, ""));
  ASSERT_EQ(reports.size(), 2u);
  ASSERT_EQ(reports[0].details.size(), 1u);
  EXPECT_EQ(reports[0].details[0].function_name, "draw");
  EXPECT_TRUE(reports[1].details.empty());
}

TEST_F(ThreadProfilerTest, UnmatchedEndWarnsAndReportsWithoutTouchingOtherRecords) {
  p.end_scope(p.begin_scope(1, ""));
  const Bytes first = reports[0].stream;
  ::testing::internal::CaptureStderr();
  p.end_scope(14);  // ended twice: depth is 0 and the segment was already reported
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "profiler ERROR: Mismatched scope begin/end calls\n");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].stream.size(), 9u);  // the lone end record, nothing written at 14
  EXPECT_EQ(reports[1].stream[0], scope_record::kEndTag);
  EXPECT_EQ(reports[1].num_scopes, 1u);
}

TEST_F(ThreadProfilerTest, EndOfAnOffsetThatIsNotOpenWritesNoSizeField) {
  size_t outer = p.begin_scope(1, "");
  size_t child = p.begin_scope(2, "");
  p.end_scope(child);
  size_t next = p.begin_scope(3, "");
  p.end_scope(child);     // stale: the child is closed, its bytes must stay
  p.end_scope(next + 3);  // not a size field at all
  const Bytes& s = p.stream_info().stream;
  EXPECT_EQ(zel::load_fixed<uint64_t>(s.data() + child), 0u);
  EXPECT_EQ(zel::load_fixed<uint64_t>(s.data() + next), scope_record::kOpenSize);
  EXPECT_EQ(s[next + 8], scope_record::kEndTag);  // the next record starts untouched
  (void)outer;
}

TEST(ThreadProfilerAccess, NestedAccessIsRefused) {
  std::string message = zel::testing::panic_message([] {
    ThreadProfiler::call([](ThreadProfiler&) { ThreadProfiler::call([](ThreadProfiler&) {}); });
  });
  EXPECT_NE(message, "");
  ThreadProfiler::call([](ThreadProfiler& p) { EXPECT_EQ(p.depth(), 0u); });  // usable again
}

TEST(ThreadProfilerAccess, EachThreadHasItsOwnProfiler) {
  uint64_t here = ThreadProfiler::call([](ThreadProfiler& p) { return p.token(); });
  uint64_t there = 0;
  std::thread([&] {
    there = ThreadProfiler::call([](ThreadProfiler& p) { return p.token(); });
  }).join();
  EXPECT_NE(here, there);
  EXPECT_EQ(here, ThreadProfiler::call([](ThreadProfiler& p) { return p.token(); }));
}

TEST(ScopeIds, AreFreshAndNeverZero) {
  ScopeId a = fetch_add_scope_id(), b = fetch_add_scope_id();
  EXPECT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);
}

TEST(Clock, FollowsTheWallClockAndAdvancesWithTheMonotonicOne) {
  auto wall = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  NanoSecond t0 = now_ns();
  EXPECT_LT(std::abs(t0 - wall()), 50'000'000) << "tsc: " << clock_uses_tsc();
  auto m0 = std::chrono::steady_clock::now();
  NanoSecond last = t0;
  for (int i = 0; i < 100000; ++i) {
    NanoSecond t = now_ns();
    ASSERT_GE(t, last);
    last = t;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  NanoSecond elapsed = now_ns() - t0;
  auto steady =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m0)
          .count();
  // The counter's rate is measured to a few parts per million.
  EXPECT_LT(std::abs(elapsed - steady), steady / 1000 + 2000);
}

}  // namespace
}  // namespace profiler
