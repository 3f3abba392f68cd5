#include "profiler/global_profiler.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/cpp/flame_decoder.h"
#include "profiler/thread_profiler.h"
#include "tests/cpp/support.h"

namespace profiler {
namespace {

using zel::testing::FlameDecoder;

// Captures the frames the global profiler closes while the test runs.
class GlobalProfilerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    new_frame();  // whatever earlier tests left behind
    sink_ = GlobalProfiler::lock()->add_sink(
        [this](std::shared_ptr<FrameData> f) { frames.push_back(std::move(f)); });
  }
  void TearDown() override { GlobalProfiler::lock()->remove_sink(sink_); }

  static void scope(ScopeId id) {
    ThreadProfiler::call([&](ThreadProfiler& p) { p.end_scope(p.begin_scope(id, "")); });
  }

  std::vector<std::shared_ptr<FrameData>> frames;
  FrameSinkId sink_ = 0;
};

TEST_F(GlobalProfilerTest, OutermostScopesOfOneThreadShareAStreamInEndOrder) {
  scope(1);
  scope(2);
  new_frame();
  ASSERT_EQ(frames.size(), 1u);
  auto unpacked = frames[0]->unpacked();
  ASSERT_EQ(unpacked->thread_streams.size(), 1u);
  const auto& [info, stream] = *unpacked->thread_streams.begin();
  EXPECT_EQ(info.name, "");
  EXPECT_EQ(stream->num_scopes, 2u);
  auto scopes = FlameDecoder::parse_stream(stream->stream);
  ASSERT_EQ(scopes.size(), 2u);
  EXPECT_EQ(scopes[0].id, 1u);
  EXPECT_EQ(scopes[1].id, 2u);
  EXPECT_EQ(frames[0]->meta().num_scopes, 2u);
  EXPECT_EQ(frames[0]->meta().num_bytes, 62u);
  EXPECT_EQ(frames[0]->meta().range_ns, (RangeNs{scopes[0].start, scopes[1].stop}));
}

TEST_F(GlobalProfilerTest, EmptyFramesUseAnIndexButReachNoSink) {
  const uint64_t before = GlobalProfiler::lock()->current_frame_index();
  new_frame();
  EXPECT_TRUE(frames.empty());
  scope(1);
  new_frame();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0]->meta().frame_index, before + 1);
}

TEST_F(GlobalProfilerTest, ScopeOpenAcrossACloseBelongsToTheLaterFrame) {
  size_t outer = ThreadProfiler::call([](ThreadProfiler& p) { return p.begin_scope(1, ""); });
  scope(2);
  new_frame();  // the outer scope is still open: nothing reported yet
  EXPECT_TRUE(frames.empty());
  ThreadProfiler::call([&](ThreadProfiler& p) { p.end_scope(outer); });
  new_frame();
  ASSERT_EQ(frames.size(), 1u);
  auto scopes =
      FlameDecoder::parse_stream(frames[0]->unpacked()->thread_streams.begin()->second->stream);
  ASSERT_EQ(scopes.size(), 1u);
  EXPECT_EQ(scopes[0].children.size(), 1u);
}

TEST_F(GlobalProfilerTest, UnnamedThreadsAreSeparateAndOrderedByStart) {
  std::thread([] { scope(1); }).join();
  std::thread([] { scope(2); }).join();
  std::thread([] {
    profiler::set_this_thread_name("worker");
    scope(3);
  }).join();
  new_frame();
  ASSERT_EQ(frames.size(), 1u);
  const auto& streams = frames[0]->unpacked()->thread_streams;
  ASSERT_EQ(streams.size(), 3u);
  std::vector<ScopeId> order;
  for (const auto& [info, s] : streams)
    order.push_back(FlameDecoder::parse_stream(s->stream)[0].id);
  EXPECT_EQ(order, (std::vector<ScopeId>{1, 2, 3}));
  EXPECT_EQ(std::prev(streams.end())->first.name, "worker");
}

TEST_F(GlobalProfilerTest, SnapshotSendsEveryKnownScopeWithTheNextFrame) {
  ThreadProfiler::call([](ThreadProfiler& p) {
    p.register_scope({901, std::nullopt, "old", "", 0});
    p.end_scope(p.begin_scope(901, ""));
  });
  new_frame();
  GlobalProfiler::lock()->emit_scope_snapshot();
  ThreadProfiler::call([](ThreadProfiler& p) {
    p.register_scope({902, std::nullopt, "new", "", 0});
    p.end_scope(p.begin_scope(902, ""));
  });
  new_frame();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_FALSE(frames[0]->full_delta());
  ASSERT_EQ(frames[0]->scope_delta().size(), 1u);
  const auto& delta = frames[1]->scope_delta();
  EXPECT_TRUE(frames[1]->full_delta());
  ASSERT_GE(delta.size(), 2u);  // the new one first, then every one known before
  EXPECT_EQ(delta[0]->function_name, "new");
  size_t olds = 0;
  for (const auto& d : delta) olds += d->function_name == "old";
  EXPECT_EQ(olds, 1u);

  GlobalProfiler::lock()->emit_scope_snapshot();
  new_frame();  // empty: the request goes with it
  scope(901);
  new_frame();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_FALSE(frames[2]->full_delta());
  EXPECT_TRUE(frames[2]->scope_delta().empty());
}

TEST(ScopeCollection, FirstDetailsForAnIdStayAndEveryNameIsFiled) {
  ScopeCollection c;
  auto first = std::make_shared<const ScopeDetails>(ScopeDetails{5, std::nullopt, "a", "", 0});
  auto second = std::make_shared<const ScopeDetails>(ScopeDetails{5, "b", "f", "x.py", 3});
  EXPECT_EQ(c.insert(first), first);
  EXPECT_EQ(c.insert(second), first);
  EXPECT_EQ(c.scope_id_to_details().size(), 1u);
  EXPECT_EQ(c.name_to_scope_id().at("a"), 5u);
  EXPECT_EQ(c.name_to_scope_id().at("b"), 5u);  // display name: scope_name over function_name
  auto unnamed = std::make_shared<const ScopeDetails>(ScopeDetails{});
  EXPECT_EQ(zel::testing::panic_message([&] { c.insert(unnamed); }),
            "`ScopeDetails` missing `ScopeId`");
}

}  // namespace
}  // namespace profiler
