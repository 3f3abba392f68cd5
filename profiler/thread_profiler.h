// profiler/, above base/: scope streams, frames, the flame format and the frame view.
//
// Per-thread scope streams. Each thread that opens scopes owns a ThreadProfiler that
// appends begin and end records to a byte stream and hands the segment to the
// reporter (by default the global profiler) when its outermost scope closes, and
// also, while scopes are open, at its first begin or end after a frame mark: the
// segment then goes with those scopes marked open, and the next one opens them again
// with their ids and original start times, so that every frame nests right. A
// segment that nobody will receive is handed over (and dropped) once it passes a
// size, so a thread inside one long scope never grows without bound.
//
//   size_t at = ThreadProfiler::call([&](ThreadProfiler& p) { return p.begin_scope(id, ""); });
//   ...
//   ThreadProfiler::call([&](ThreadProfiler& p) { p.end_scope(at); });
//
// The stream's records are laid out in profiler/flame_format.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "profiler/clock.h"
#include "profiler/data.h"
#include "profiler/scope_details.h"

namespace profiler {

// Scopes of the runtime front end are recorded only while this is on; enable()
// turns it on. The profiler itself does not look at it.
extern std::atomic<bool> SCOPES_ON;
void set_scopes_on(bool on);
inline bool scopes_on() {
  return SCOPES_ON.load(std::memory_order_relaxed);
}

// Fork handlers: the lock of the mailboxes (ends posted to other threads) is held
// across fork(); in a forked child only the calling thread's profiler takes mail.
void hold_mail_for_fork();
void release_mail_after_fork(bool in_child);

// A fresh identifier; fatal if the 32-bit counter ever wraps to 0.
ScopeId fetch_add_scope_id();

using Reporter = void (*)(ThreadInfo info, std::span<const ScopeDetails> details,
                          const StreamInfoRef& stream);
using Clock = NanoSecond (*)();

// Hands a finished segment to the global profiler, under its lock.
void internal_profile_reporter(ThreadInfo info, std::span<const ScopeDetails> details,
                               const StreamInfoRef& stream);

// The name this thread reports: the one given with set_this_thread_name (the
// system's own threads), empty for every thread the host created.
const std::string& this_thread_name();
void set_this_thread_name(std::string name);

struct ThreadSlot;

class ThreadProfiler {
 public:
  ThreadProfiler();
  ThreadProfiler(const ThreadProfiler&) = delete;
  ThreadProfiler& operator=(const ThreadProfiler&) = delete;

  // Runs f(ThreadProfiler&) with exclusive access to the calling thread's profiler,
  // creating it on first use. Fatal when called from inside f, or while the thread's
  // storage is being destroyed.
  template <class F>
  static decltype(auto) call(F&& f) {
    Access access;
    return f(*access.profiler);
  }

  // Queues the details of a scope first used on this thread; they travel with the
  // next report.
  void register_scope(ScopeDetails details) { scope_details_.push_back(std::move(details)); }

  // Opens a scope; the returned handle identifies it to end_scope, also after the
  // segment has been cut. `data` is cut to at most 127 bytes at a UTF-8 character
  // boundary.
  size_t begin_scope(ScopeId id, std::string_view data);

  // Closes the scope opened as `handle`. The size field is written only when that
  // handle belongs to a scope open on this thread, so a scope ended twice or late
  // never overwrites other bytes; its end record is still written.
  void end_scope(size_t handle);

  // The frame mark's first step on the marking thread: hands over the calling thread's
  // open segment, if it has one, so that its scopes land in the frame being closed.
  static void hand_over_before_mark();
  // The frame mark's last step: every other thread with scopes open hands over at its
  // next begin or end.
  static void notify_frame_marked();

  // Asks the thread whose profiler has `token` to close its scope `handle` as of
  // `stop`, the next time it begins or ends a scope: how a scope ended on another
  // thread reaches its own stream. False when that profiler is gone.
  static bool post_end(uint64_t token, size_t handle, NanoSecond stop);

  // Unique in the process: tells whether a scope was opened on this profiler.
  uint64_t token() const { return token_; }
  uint64_t depth() const { return depth_; }
  const StreamInfo& stream_info() const { return stream_info_; }
  void set_clock(Clock clock) { now_ns_ = clock; }
  void set_reporter(Reporter reporter) { reporter_ = reporter; }

 private:
  struct Access {
    Access();
    ~Access();
    ThreadSlot* slot;  // the calling thread's, released on destruction
    ThreadProfiler* profiler;
  };
  friend void set_this_thread_name(std::string name);

  // A scope open now: its handle and where its begin record is in the stream.
  struct OpenScope {
    size_t handle;
    size_t begin_at;
  };

  void finish_end(size_t handle, NanoSecond stop);
  void attend();
  void hand_over_open_segment(NanoSecond now);
  void report();

  std::optional<NanoSecond> start_time_ns_;
  std::string thread_name_;
  StreamInfo stream_info_;
  std::vector<ScopeDetails> scope_details_;
  uint64_t depth_ = 0;
  std::vector<OpenScope> open_;  // innermost last
  size_t handle_base_ = 0;       // bytes handed over before this segment: handles stay unique
  size_t reopened_bytes_ = 0;    // the begin records at the front that reopen open scopes:
                                 // only what follows them counts towards a hand-over by size
  Clock now_ns_ = profiler::now_ns;
  Reporter reporter_ = internal_profile_reporter;
  uint64_t token_;
  // Set under the mailbox lock when another thread posts an end (kMail) or a frame is
  // marked (kFrameMarked); this thread reads it once per begin and end.
  static constexpr uint8_t kMail = 1, kFrameMarked = 2;
  std::atomic<uint8_t> attention_{0};
  std::vector<std::pair<size_t, NanoSecond>> mail_;
};

}  // namespace profiler
