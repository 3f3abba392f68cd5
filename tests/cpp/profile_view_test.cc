#include "profiler/frame_view.h"

#include <gtest/gtest.h>

#include "profiler/thread_profiler.h"

namespace profiler {
namespace {

// A frame of one thread whose single scope lasts `duration` ns.
std::shared_ptr<FrameData> frame(uint64_t index, NanoSecond duration) {
  StreamInfo s;
  s.stream.assign(31, 0);  // the view only measures bytes
  s.num_scopes = 1;
  s.depth = 1;
  s.range_ns = {1000, 1000 + duration};
  std::map<ThreadInfo, StreamInfo> m;
  m.emplace(ThreadInfo{1000, ""}, std::move(s));
  return FrameData::create(index, std::move(m), {}, false);
}

TEST(FrameView, NewestFrameIsHeldButNotCountedUntilTheNextArrives) {
  FrameView v;
  auto first = frame(0, 10);
  v.add_frame(first);
  EXPECT_EQ(v.newest(), first);
  EXPECT_EQ(v.slow_by_index().size(), 1u);
  EXPECT_EQ(v.footprint().frame_count, 0u);
  EXPECT_EQ(v.footprint().byte_count, 0u);

  v.add_frame(frame(1, 10));
  EXPECT_FALSE(first->holds_unpacked());
  EXPECT_EQ(v.footprint().frame_count, 1u);
  EXPECT_EQ(v.footprint().unpacked_count, 0u);
  EXPECT_EQ(v.footprint().byte_count, first->memory_use());
  EXPECT_GT(first->memory_use(), 4u);

  FrameView keep;
  keep.pack_older = false;
  keep.add_frame(frame(0, 10));
  keep.add_frame(frame(1, 10));
  EXPECT_EQ(keep.footprint().unpacked_count, 1u);
  EXPECT_EQ(keep.footprint().byte_count, 31u);
}

TEST(FrameView, AFrameFromBeforeTheNewestRestartsTheView) {
  FrameView v;
  for (uint64_t i = 5; i < 9; ++i) v.add_frame(frame(i, 10));
  auto again = frame(8, 3);
  v.add_frame(again);
  ASSERT_EQ(v.recent_frames().size(), 1u);
  EXPECT_EQ(v.recent_frames()[0], again);
  EXPECT_EQ(v.slow_by_index().size(), 1u);
  EXPECT_EQ(v.slow_by_duration().size(), 1u);
  EXPECT_EQ(v.footprint().frame_count, 0u);
}

TEST(FrameView, OnlyStrictlyLongerFramesDisplaceTheShortestSlowOne) {
  FrameView v;
  v.slow_limit = 3;
  v.add_frame(frame(0, 30));
  v.add_frame(frame(1, 10));
  v.add_frame(frame(2, 20));
  v.add_frame(frame(3, 10));  // as long as the shortest: not admitted
  EXPECT_EQ(v.slow_by_duration().size(), 3u);
  EXPECT_FALSE(v.slow_by_index().contains(v.newest()));

  v.add_frame(frame(4, 11));  // longer: frame 1 leaves both sets
  std::vector<uint64_t> kept;
  for (const auto& f : v.slow_by_index()) kept.push_back(f->meta().frame_index);
  EXPECT_EQ(kept, (std::vector<uint64_t>{0, 2, 4}));
  std::vector<uint64_t> by_duration;
  for (const auto& f : v.slow_by_duration()) by_duration.push_back(f->meta().frame_index);
  EXPECT_EQ(by_duration, (std::vector<uint64_t>{0, 2, 4}));
  EXPECT_EQ(v.footprint().frame_count, 4u);  // frame 1 is still recent: still counted

  FrameView none;
  none.slow_limit = 0;
  none.add_frame(frame(0, 50));
  EXPECT_TRUE(none.slow_by_duration().empty());
}

TEST(FrameView, OldRecentFramesLeaveTheCountUnlessTheyAreSlow) {
  FrameView v;
  v.recent_limit = 3;
  v.slow_limit = 1;
  v.add_frame(frame(0, 100));  // the one slow frame
  for (uint64_t i = 1; i <= 3; ++i) v.add_frame(frame(i, 10));
  // Frame 0 left the recent queue but stays counted as a slow frame.
  EXPECT_EQ(v.recent_frames().front()->meta().frame_index, 1u);
  EXPECT_EQ(v.footprint().frame_count, 3u);  // frames 0, 1, 2 (3 is the newest)
  v.add_frame(frame(4, 10));                 // frame 1 leaves and is not slow: subtracted
  EXPECT_EQ(v.footprint().frame_count, 3u);  // frames 0, 2, 3
  // Frame 5 displaces frame 0, no longer recent, and pushes frame 2 out of the queue.
  v.add_frame(frame(5, 200));
  EXPECT_EQ(v.footprint().frame_count, 2u);  // frames 3 and 4
  EXPECT_EQ(v.footprint().byte_count,
            v.recent_frames()[0]->memory_use() + v.recent_frames()[1]->memory_use());
}

TEST(FrameView, LongRunsStayWithinTheLimits) {
  FrameView v;
  for (uint64_t i = 0; i < 3000; ++i)
    v.add_frame(frame(i, static_cast<NanoSecond>((i * 7919) % 1000)));
  EXPECT_EQ(v.recent_frames().size(), 1000u);
  EXPECT_EQ(v.slow_by_index().size(), 256u);
  EXPECT_EQ(v.slow_by_duration().size(), 256u);
  size_t held = v.recent_frames().size();
  for (const auto& f : v.slow_by_index())
    held += !std::binary_search(v.recent_frames().begin(), v.recent_frames().end(), f,
                                OrderedByIndex{});
  EXPECT_EQ(v.footprint().frame_count, held - 1);  // all but the newest
  EXPECT_EQ(v.footprint().unpacked_count, 0u);
  for (const auto& f : v.slow_by_duration())  // the slowest durations are kept
    EXPECT_GE(f->meta().duration_ns(), 914u);
}

TEST(GlobalFrameView, ReceivesFramesWhileItExists) {
  auto scope = [] {
    ThreadProfiler::call([](ThreadProfiler& p) { p.end_scope(p.begin_scope(1, "")); });
  };
  size_t sinks_frames = 0;
  {
    GlobalFrameView view;
    scope();
    new_frame();
    auto v = view.lock();
    ASSERT_NE(v->newest(), nullptr);
    EXPECT_TRUE(v->newest()->full_delta());  // the snapshot a new view asks for
    sinks_frames = v->recent_frames().size();
  }
  EXPECT_EQ(sinks_frames, 1u);
  // With the view gone its sink is gone: closing frames still works.
  scope();
  new_frame();
}

}  // namespace
}  // namespace profiler
