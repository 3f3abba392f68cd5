#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "capture/named_scope.h"
#include "profiler/frame_view.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "tests/cpp/support.h"

namespace profiler {
namespace {

using zel::Bytes;
namespace scope = zel::scope;

using Threads = std::vector<std::pair<std::string, std::vector<ScopeId>>>;

// Scopes on, and every frame the global profiler closes kept.
class GlobalProfilerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_scopes_on(true);
    new_frame();  // whatever earlier tests left behind
    sink_ = GlobalProfiler::lock()->add_sink([this](SharedFrame f) { frames.push_back(f); });
  }
  void TearDown() override { GlobalProfiler::lock()->remove_sink(sink_); }

  static void scope_here(ScopeId id) {
    ThreadProfiler::call([&](ThreadProfiler& p) { p.end_scope(p.begin_scope(id, "")); });
  }
  // Closes a frame and decodes it strictly, with its own scope descriptions.
  zel::oracle::Frame close_frame() {
    new_frame();
    Bytes bytes;
    frames.at(frames.size() - 1)->write_into(nullptr, bytes);
    return zel::oracle::decode(bytes);
  }
  // Each thread of `f` by name, with the ids of its outermost scopes.
  static Threads outermost(const zel::oracle::Frame& f) {
    Threads out;
    for (const auto& t : f.threads) {
      out.emplace_back(t.info.name, std::vector<ScopeId>{});
      for (const auto& scope : t.scopes) out.back().second.push_back(scope.id);
    }
    return out;
  }

  std::vector<SharedFrame> frames;
  FrameSinkId sink_ = 0;
};

TEST_F(GlobalProfilerTest, AFrameHoldsTheOutermostScopesEndedSinceTheLastClose) {
  scope_here(1);
  scope_here(2);
  const size_t open = ThreadProfiler::call([](ThreadProfiler& p) { return p.begin_scope(3, ""); });
  scope_here(4);
  const uint64_t index = GlobalProfiler::lock()->current_frame_index();
  zel::oracle::Frame f = close_frame();
  EXPECT_EQ(outermost(f), (Threads{{"", {1, 2}}}));
  const auto& scopes = f.threads.at(0).scopes;
  EXPECT_EQ(std::tuple(f.meta.frame_index, f.meta.num_scopes, f.meta.num_bytes, f.meta.range_ns),
            std::tuple(index, 2u, 62u, RangeNs{scopes[0].start, scopes[1].stop}));

  new_frame();  // scope 3 is still open: an empty frame uses an index and reaches no sink
  ThreadProfiler::call([&](ThreadProfiler& p) { p.end_scope(open); });
  f = close_frame();
  EXPECT_EQ(std::tuple(frames.size(), f.meta.frame_index), std::tuple(2u, index + 2));
  EXPECT_EQ(outermost(f), (Threads{{"", {3}}}));  // with scope 4 inside

  std::thread([] { scope_here(1); }).join();
  std::thread([] { scope_here(2); }).join();
  std::thread([] {
    set_this_thread_name("worker");
    scope_here(3);
  }).join();
  EXPECT_EQ(outermost(close_frame()),
            (Threads{{"", {1}}, {"", {2}}, {"worker", {3}}}));  // by start
}

TEST_F(GlobalProfilerTest, ASnapshotSendsEveryKnownDescriptionWithTheNextFrame) {
  auto scope_named = [](const char* name) { scope::scope(name).end(); };
  scope_named("old");
  new_frame();
  GlobalProfiler::lock()->emit_scope_snapshot();
  scope_named("new");
  new_frame();
  GlobalProfiler::lock()->emit_scope_snapshot();
  new_frame();  // empty: the request goes with it
  scope_named("old");
  new_frame();
  {
    GlobalFrameView view;  // asks for a snapshot, and receives frames while it exists
    scope_named("old");
    new_frame();
    EXPECT_EQ(view.lock()->newest(), frames.back());
  }
  scope_named("old");
  new_frame();
  std::vector<std::vector<std::string>> deltas;
  for (const auto& f : frames) {
    deltas.emplace_back(1, f->full_delta() ? "full" : "");
    for (const auto& d : f->scope_delta()) deltas.back().push_back(d->function_name);
    std::sort(deltas.back().begin() + 1, deltas.back().end());  // known ones in any order
  }
  using D = std::vector<std::vector<std::string>>;
  EXPECT_EQ(deltas, (D{{"", "old"}, {"full", "new", "old"}, {""}, {"full", "new", "old"}, {""}}));
}

TEST(ScopeCollection, TheFirstDescriptionOfAnIdStaysAndEveryNameIsFiled) {
  ScopeCollection c;
  auto first = std::make_shared<const ScopeDetails>(ScopeDetails{5, std::nullopt, "a", "", 0});
  EXPECT_EQ(c.insert(first), first);
  EXPECT_EQ(c.insert(std::make_shared<const ScopeDetails>(ScopeDetails{5, "b", "f", "x.py", 3})),
            first);
  EXPECT_EQ(c.scope_id_to_details().size(), 1u);
  // By display name: scope_name over function_name.
  EXPECT_EQ(c.name_to_scope_id(), (std::unordered_map<std::string, ScopeId>{{"a", 5}, {"b", 5}}));
  EXPECT_EQ(zel::testing::panic_message([&] { c.insert(std::make_shared<const ScopeDetails>()); }),
            "`ScopeDetails` missing `ScopeId`");
}

// A frame of one thread whose only scope lasts `duration` ns.
SharedFrame frame_of(uint64_t index, NanoSecond start, NanoSecond duration) {
  std::map<ThreadInfo, StreamInfo> m;
  m[ThreadInfo{}] = StreamInfo{Bytes(31 + index % 5, 0), 1, 1, {start, start + duration}, 0, {}};
  return FrameData::create(index, std::move(m), {}, false);
}

TEST(FrameData, AFrameNeedsAThreadAndATimeRange) {
  EXPECT_FALSE(FrameData::create(0, {}, {}, false));
  EXPECT_FALSE(FrameData::create(0, {{ThreadInfo{}, StreamInfo{}}}, {}, false));
  EXPECT_FALSE(frame_of(0, 6, -1));
  auto instant = frame_of(0, 5, 0);
  ASSERT_TRUE(instant);
  EXPECT_EQ(instant->memory_use(), 31u);
  instant->create_packed();
  EXPECT_EQ(instant->unpacked(), nullptr);
  EXPECT_LT(instant->memory_use(), 31u);  // the packed bytes
}

// Against a model: the last `recent_limit` frames, the `slow_limit` longest ones (a frame
// is admitted only when strictly longer than the shortest held), a restart at any frame
// that does not follow the newest, and a footprint of every held frame but the newest.
TEST(FrameView, HoldsTheRecentAndTheSlowestFramesAndCountsAllButTheNewest) {
  std::mt19937 rng(3);
  for (auto [recent_limit, slow_limit, pack] :
       {std::tuple{4u, 3u, true}, std::tuple{3u, 1u, false}, std::tuple{2u, 0u, true}}) {
    FrameView v;
    std::tie(v.recent_limit, v.slow_limit, v.pack_older) =
        std::tuple(recent_limit, slow_limit, pack);
    std::vector<SharedFrame> recent, slow;
    auto longest_first = [](const SharedFrame& a, const SharedFrame& b) {
      return std::pair{b->meta().duration_ns(), a->meta().frame_index} <
             std::pair{a->meta().duration_ns(), b->meta().frame_index};
    };
    uint64_t index = 0;
    for (int i = 0; i < 500; ++i) {
      index = index > 2 && rng() % 30 == 0 ? index - rng() % 3 : index + 1 + rng() % 2;
      const SharedFrame f = frame_of(index, rng() % 100, rng() % 6);
      if (!recent.empty() && index <= recent.back()->meta().frame_index)
        recent.clear(), slow.clear();
      if (slow.size() < slow_limit ||
          (!slow.empty() && slow.back()->meta().duration_ns() < f->meta().duration_ns())) {
        slow.push_back(f);
        std::sort(slow.begin(), slow.end(), longest_first);
        if (slow.size() > slow_limit) slow.pop_back();
      }
      recent.push_back(f);
      if (recent.size() > recent_limit) recent.erase(recent.begin());
      v.add_frame(f);

      ASSERT_EQ(std::vector(v.recent_frames().begin(), v.recent_frames().end()), recent) << i;
      ASSERT_EQ(std::vector(v.slow_by_duration().begin(), v.slow_by_duration().end()), slow) << i;
      std::sort(slow.begin(), slow.end(), OrderedByIndex{});
      ASSERT_EQ(std::vector(v.slow_by_index().begin(), v.slow_by_index().end()), slow) << i;
      std::sort(slow.begin(), slow.end(), longest_first);
      std::set<SharedFrame> held(recent.begin(), recent.end() - 1);
      held.insert(slow.begin(), slow.end());
      held.erase(f);
      uint64_t bytes = 0, unpacked = 0;
      for (const SharedFrame& h : held) {
        bytes += h->memory_use();
        unpacked += h->holds_unpacked();
      }
      const Footprint& got = v.footprint();
      EXPECT_EQ(std::tuple(got.frame_count, got.byte_count, got.unpacked_count, unpacked),
                std::tuple(held.size(), bytes, unpacked, pack ? 0 : held.size()))
          << i;
    }
  }
}

TEST_F(GlobalProfilerTest, ANameIsDescribedOnceAndNotRegisteredWhileScopesAreOff) {
  const ScopeId a = scope::scope_id("same");
  EXPECT_EQ(scope::scope_id("same"), a);
  EXPECT_NE(scope::scope_id("other"), a);
  { auto g = scope::scope("same"); }
  EXPECT_EQ(close_frame().scopes,
            (std::vector<ScopeDetails>{{a, std::nullopt, "same", "", 0},
                                       {scope::scope_id("other"), std::nullopt, "other", "", 0}}));
  { auto g = scope::scope("same"); }
  EXPECT_TRUE(close_frame().scopes.empty());  // described once

  set_scopes_on(false);
  const ScopeId before = fetch_add_scope_id();
  EXPECT_FALSE(scope::scope("never recorded").active());
  EXPECT_EQ(fetch_add_scope_id(), before + 1);  // nothing registered
}

TEST_F(GlobalProfilerTest, AGuardEndedOnAnotherThreadIsClosedByItsOwnThread) {
  std::string warnings;
  std::thread([&] {
    scope::ScopeGuard a_outer = scope::scope("a.outer"), a_inner = scope::scope("a.inner");
    std::thread([&] {
      scope::ScopeGuard b_outer = scope::scope("b.outer"), b_inner = scope::scope("b.inner");
      ::testing::internal::CaptureStderr();
      a_inner.end();  // posted to the first thread; nothing is written here
      EXPECT_FALSE(a_inner.active());
      b_inner.end();  // at the offset a_inner has on its own thread
      b_outer.end();
      warnings = ::testing::internal::GetCapturedStderr();
    }).join();
    a_outer.end();  // closes a_inner first, then itself
  }).join();
  scope::ScopeGuard orphan;
  std::thread([&] { orphan = scope::scope("orphan"); }).join();
  orphan.end();  // its thread has ended, and its open segment with it
  EXPECT_EQ(warnings, "");

  const auto f = close_frame();  // strict: every size field must match
  ASSERT_EQ(f.threads.size(), 2u);
  // The ids looked up here, on a thread that did not name them, are the ones recorded.
  for (const auto& [t, name] : {std::pair{&f.threads[0], "a"}, std::pair{&f.threads[1], "b"}}) {
    ASSERT_EQ(t->scopes.size(), 1u);
    ASSERT_EQ(t->scopes[0].children.size(), 1u);
    EXPECT_EQ(t->scopes[0].id, scope::scope_id(std::string(name) + ".outer"));
    EXPECT_EQ(t->scopes[0].children[0].id, scope::scope_id(std::string(name) + ".inner"));
  }
}

}  // namespace
}  // namespace profiler
