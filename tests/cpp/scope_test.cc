#include "capture/named_scope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/cpp/flame_decoder.h"
#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"

namespace zel::scope {
namespace {

using profiler::FrameData;
using testing::FlameDecoder;

// Scopes on, and the frames the global profiler closes collected.
class ScopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profiler::set_scopes_on(true);
    profiler::new_frame();
    sink_ = profiler::GlobalProfiler::lock()->add_sink(
        [this](std::shared_ptr<FrameData> f) { frames.push_back(std::move(f)); });
  }
  void TearDown() override { profiler::GlobalProfiler::lock()->remove_sink(sink_); }

  // Closes a frame and returns it decoded, with its own scope descriptions.
  testing::DecodedFrame close_frame() {
    profiler::new_frame();
    EXPECT_FALSE(frames.empty());
    Bytes bytes;
    frames.back()->write_into(nullptr, bytes);
    return FlameDecoder::decode(bytes);
  }

  std::vector<std::shared_ptr<FrameData>> frames;
  profiler::FrameSinkId sink_ = 0;
};

TEST(ScopesOff, OpenNothingAndRegisterNothing) {
  profiler::set_scopes_on(false);
  profiler::ScopeId before = profiler::fetch_add_scope_id();
  {
    ScopeGuard g = scope("never recorded");
    EXPECT_FALSE(g.active());
  }
  EXPECT_EQ(profiler::fetch_add_scope_id(), before + 1);
  profiler::ThreadProfiler::call([](profiler::ThreadProfiler& p) {
    EXPECT_EQ(p.depth(), 0u);
    EXPECT_TRUE(p.stream_info().stream.empty());
  });
}

TEST_F(ScopeTest, NamesKeepOneIdAcrossThreadsAndAreDescribedOnce) {
  static int run = 0;  // names are registered once per process: fresh ones per run
  const bool first_run = ++run == 1;
  const std::string same = "scope_test.same." + std::to_string(run);
  const std::string other = "scope_test.other." + std::to_string(run);
  const profiler::ScopeId a = scope_id(same);
  EXPECT_EQ(scope_id(same), a);
  profiler::ScopeId there = 0;
  std::thread([&] { there = scope_id(same); }).join();
  EXPECT_EQ(there, a);
  EXPECT_NE(scope_id(other), a);
  EXPECT_NE(scope_id(""), a);  // the empty name is a name like any other

  { ScopeGuard g = scope(same); }
  auto f = close_frame();
  std::vector<std::string> described;
  for (const auto& d : f.scopes) {
    described.push_back(d.function_name);
    EXPECT_FALSE(d.scope_name.has_value());
    EXPECT_EQ(d.file_path, "");
    EXPECT_EQ(d.line_nr, 0u);
  }
  std::vector<std::string> expected = {same, other};
  if (first_run) expected.push_back("");
  EXPECT_EQ(described, expected);

  { ScopeGuard g = scope(same); }
  EXPECT_TRUE(close_frame().scopes.empty());  // described once per process
}

TEST_F(ScopeTest, NestedGuardsNestInTheStream) {
  {
    ScopeGuard outer = scope("scope_test.outer");
    ScopeGuard inner = scope("scope_test.inner");
    ScopeGuard innermost = scope("scope_test.innermost");
    innermost.end();
    EXPECT_FALSE(innermost.active());
  }
  auto f = close_frame();
  ASSERT_EQ(f.threads.size(), 1u);
  const auto& top = f.threads[0].scopes;
  ASSERT_EQ(top.size(), 1u);
  ASSERT_EQ(top[0].children.size(), 1u);
  ASSERT_EQ(top[0].children[0].children.size(), 1u);
  EXPECT_EQ(top[0].id, scope_id("scope_test.outer"));
  EXPECT_LE(top[0].start, top[0].children[0].start);
  EXPECT_GE(top[0].stop, top[0].children[0].stop);
}

TEST_F(ScopeTest, AGuardEndedOnAnotherThreadIsClosedByItsOwnThread) {
  std::string warnings;
  std::thread([&] {
    ScopeGuard a_outer = scope("scope_test.a.outer");
    ScopeGuard a_inner = scope("scope_test.a.inner");
    std::thread([&] {
      ScopeGuard b_outer = scope("scope_test.b.outer");
      ScopeGuard b_inner = scope("scope_test.b.inner");  // at the same offset as a_inner
      ::testing::internal::CaptureStderr();
      a_inner.end();  // posted to the first thread; nothing is written here
      b_inner.end();
      b_outer.end();
      warnings = ::testing::internal::GetCapturedStderr();
    }).join();
    a_outer.end();  // closes a_inner first, then itself
  }).join();
  EXPECT_EQ(warnings, "");

  auto f = close_frame();  // decodes strictly: every size field must match
  ASSERT_EQ(f.threads.size(), 2u);
  for (const auto& t : f.threads) {
    ASSERT_EQ(t.scopes.size(), 1u);
    ASSERT_EQ(t.scopes[0].children.size(), 1u);
    EXPECT_EQ(t.num_scopes, 2u);
  }
  EXPECT_EQ(f.threads[0].scopes[0].id, scope_id("scope_test.a.outer"));
  EXPECT_EQ(f.threads[0].scopes[0].children[0].id, scope_id("scope_test.a.inner"));
  EXPECT_EQ(f.threads[1].scopes[0].id, scope_id("scope_test.b.outer"));
}

TEST_F(ScopeTest, AGuardOfAnEndedThreadEndsNothing) {
  ScopeGuard orphan;
  std::thread([&] { orphan = scope("scope_test.orphan"); }).join();
  ScopeGuard mine = scope("scope_test.mine");
  orphan.end();
  mine.end();
  auto f = close_frame();
  ASSERT_EQ(f.threads.size(), 1u);  // the ended thread's open segment was discarded
  ASSERT_EQ(f.threads[0].scopes.size(), 1u);
  EXPECT_TRUE(f.threads[0].scopes[0].children.empty());
}

TEST_F(ScopeTest, FramesClosedWhileThreadsRecordLoseAndTearNothing) {
  constexpr int kThreads = 4, kOuter = 2000;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kOuter; ++i) {
        ScopeGuard outer = scope("scope_test.stress.outer");
        ScopeGuard inner = scope("scope_test.stress.inner");
      }
      --running;
    });
  }
  while (running > 0) profiler::new_frame();
  for (auto& t : threads) t.join();
  profiler::new_frame();

  uint64_t scopes = 0;
  for (const auto& frame : frames) {
    Bytes bytes;
    frame->write_into(nullptr, bytes);
    for (const auto& t : FlameDecoder::decode(bytes).threads) {
      for (const auto& outer : t.scopes) {
        ASSERT_EQ(outer.children.size(), 1u);  // every outermost scope arrives whole
        scopes += 2;
      }
    }
  }
  EXPECT_EQ(scopes, uint64_t{kThreads} * kOuter * 2);
}

}  // namespace
}  // namespace zel::scope
