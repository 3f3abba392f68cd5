// profiler/, above base/: scope streams, frames, the flame format and the frame view.
//
// Per-thread scope streams. Each thread that opens scopes owns a ThreadProfiler that
// appends begin and end records to a byte stream; when its outermost scope closes,
// the segment goes to the reporter (by default the global profiler).
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

  // Opens a scope; the returned offset identifies it to end_scope. `data` is cut to
  // at most 127 bytes at a UTF-8 character boundary.
  size_t begin_scope(ScopeId id, std::string_view data);

  // Closes the scope opened at `offset`. The size field is written only when that
  // offset belongs to a scope open on this thread, so a scope ended twice or late
  // never overwrites other bytes; its end record is still written.
  void end_scope(size_t offset);

  // Asks the thread whose profiler has `token` to close its scope at `offset` as of
  // `stop`, the next time it begins or ends a scope: how a scope ended on another
  // thread reaches its own stream. False when that profiler is gone.
  static bool post_end(uint64_t token, size_t offset, NanoSecond stop);

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

  void finish_end(size_t offset, NanoSecond stop);
  void read_mail();
  void report();

  std::optional<NanoSecond> start_time_ns_;
  std::string thread_name_;
  StreamInfo stream_info_;
  std::vector<ScopeDetails> scope_details_;
  uint64_t depth_ = 0;
  std::vector<size_t> open_offsets_;  // size fields of the scopes open now, innermost last
  Clock now_ns_ = profiler::now_ns;
  Reporter reporter_ = internal_profile_reporter;
  uint64_t token_;
  // Ends posted by other threads: set under the mailbox lock, read by this thread.
  std::atomic<bool> has_mail_{false};
  std::vector<std::pair<size_t, NanoSecond>> mail_;
};

}  // namespace profiler
