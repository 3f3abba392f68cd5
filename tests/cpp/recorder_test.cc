#include "record/recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "record/stream_reader.h"
#include "capture/named_scope.h"
#include "tests/cpp/support.h"

namespace zel::record {
namespace {

using testing::panic_message;
using testing::TempDir;

constexpr const char* kSendError = "called `Result::unwrap()` on an `Err` value: SendError { .. }";

TEST(ParseU64, AcceptsDigitsWithAnOptionalPlusAndRefusesEverythingElse) {
  EXPECT_EQ(parse_u64("V", "0"), 0u);
  EXPECT_EQ(parse_u64("V", "+5"), 5u);
  EXPECT_EQ(parse_u64("V", "007"), 7u);
  EXPECT_EQ(parse_u64("V", "18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", "-1", "5 ", " 5", "0x10", "1_000", "++1", "18446744073709551616",
                          "99999999999999999999"}) {
    EXPECT_EQ(panic_message([&] { parse_u64("V", bad); }),
              std::string("V must be a positive integer, got \"") + bad + "\"");
  }
  EXPECT_EQ(panic_message([] { parse_u64("ZEL_RECORD_EVERY", "a\"b\\c\t\n\xff"); }),
            "ZEL_RECORD_EVERY must be a positive integer, got \"a\\\"b\\\\c\\t\\n\\xFF\"");
}

// Closes the profiler frame, as frame_mark() does, then lets `r` capture the frame.
void mark(Recorder& r, bool with_scope) {
  if (with_scope) auto g = scope::scope("work");
  profiler::new_frame();
  r.mark_frame();
}

struct Capture {
  read::Reader reader;
  std::vector<read::ReadFrame> frames;
};

Capture read_all(const std::string& path) {
  Capture c{unwrap(read::Reader::open(path)), {}};
  while (auto f = unwrap(c.reader.next_frame())) c.frames.push_back(std::move(*f));
  return c;
}

TEST(Recorder, FlameFramesFollowThePeriodTheLimitAndTheNewestFrameHeld) {
  profiler::set_scopes_on(true);
  TempDir dir;
  {
    auto r = Recorder::create({.path = dir.file("f.zel"), .flame_enabled = true, .flame_every = 3, .max_frames = 2});
    for (int i = 0; i < 8; ++i) mark(*r, true);
    r->flush();
  }
  std::vector<bool> has_flame;
  for (auto& f : read_all(dir.file("f.zel")).frames) has_flame.push_back(f.flame.has_value());
  EXPECT_EQ(has_flame, (std::vector<bool>{true, false, false, true, false, false, false, false}));

  // A due mark after a frame without scopes carries the last frame that had some; a
  // view that never received a frame gives none.
  auto r = Recorder::create({.path = dir.file("g.zel"), .flame_enabled = true});
  mark(*r, false);
  mark(*r, true);
  mark(*r, false);
  r->flush();
  auto frames = read_all(dir.file("g.zel")).frames;
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_FALSE(frames[0].flame);
  ASSERT_TRUE(frames[1].flame && frames[2].flame);
  EXPECT_EQ(*frames[1].flame, *frames[2].flame);
}

TEST(Recorder, WithEveryIdTakenANewNameIsDroppedAndNothingIsDeclared) {
  auto [tx, rx] = make_queue<writer::Msg>();
  FrameState state;
  for (size_t i = 0; i < kMaxUserColumns; ++i) {
    state.user_ids.emplace("m" + std::to_string(i), static_cast<uint16_t>(kFirstUserId + i));
  }
  EXPECT_EQ(state.user_ids.at("m65527"), 65535);
  EXPECT_EQ(Recorder::column_id(state, tx, "m7", ""), 15);
  EXPECT_EQ(Recorder::column_id(state, tx, "new", "u"), std::nullopt);
  EXPECT_EQ(state.user_ids.size(), kMaxUserColumns);
  { auto gone = std::move(tx); }
  std::deque<writer::Msg> sent;
  EXPECT_FALSE(rx.recv_all(sent));  // nothing was queued
}

// Calls `op` until it fails; returns every message up to and including the first
// one that is not in `transient`.
template <class F>
std::vector<std::string> failures_until_settled(F op, std::vector<std::string> transient) {
  std::vector<std::string> seen;
  // Bounded by time, not by tries: on a busy machine the writer thread may wait
  // long before it runs and fails.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string m = panic_message(op);
    if (m.empty()) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    seen.push_back(m);
    if (std::find(transient.begin(), transient.end(), m) == transient.end()) break;
  }
  return seen;
}

TEST(Recorder, AfterTheWriterThreadEndsSendsFailOnceThenTheLocksArePoisoned) {
  TempDir dir;
  auto r = Recorder::create({.path = dir.file("missing/dir/x.zel")});
  EXPECT_EQ(failures_until_settled([&] { r->mark_frame(); }, {}),
            std::vector<std::string>{kSendError});
  EXPECT_EQ(panic_message([&] { r->mark_frame(); }), kPoisonedLock);
  EXPECT_EQ(panic_message([&] { r->flush(); }), kPoisonedLock);

  // A flush that finds the writer gone fails with the send message and poisons the
  // sender lock; one queued just before the writer ended sees the acknowledgement
  // dropped instead.
  auto f = Recorder::create({.path = dir.file("missing/dir/y.zel")});
  const std::string recv_error = "called `Result::unwrap()` on an `Err` value: RecvError";
  auto seen = failures_until_settled([&] { f->flush(); }, {recv_error});
  EXPECT_EQ(seen.back(), kSendError);
  EXPECT_EQ(panic_message([&] { f->flush(); }), kPoisonedLock);
}

}  // namespace
}  // namespace zel::record
