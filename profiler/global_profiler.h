// The process-wide collector of scope streams. Threads report finished segments;
// new_frame() turns everything reported since the previous call into one FrameData
// and hands it to every registered frame sink.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "base/mutex.h"
#include "profiler/data.h"
#include "profiler/frame_data.h"
#include "profiler/scope_details.h"

namespace profiler {

using FrameSinkId = uint64_t;

// The most scope bytes one profiler frame collects: segments reported after that are
// dropped until the next frame mark (one line on standard error says so, once).
inline constexpr size_t kMaxFrameScopeBytes = size_t{64} << 20;
// An open segment that nobody will receive is handed over, and so dropped, once it
// passes this many bytes.
inline constexpr size_t kMaxSegmentBytes = size_t{64} << 10;

// Whether any frame sink is registered: without one, a reported segment is dropped.
bool frames_have_sinks();
// Called with the global profiler's lock held, on the thread that closes the frame;
// it must not take that lock itself.
using FrameSink = std::function<void(std::shared_ptr<FrameData>)>;

class GlobalProfiler {
 public:
  // Exclusive access to the process's profiler, created on first use. A holder that
  // fails leaves the lock usable; the next one sees the state as it was left.
  using Guard = zel::MutexGuard<GlobalProfiler, zel::Poisoning::Off>;
  static Guard lock();

  // Merges a thread's segment into the current frame and queues the details first
  // used in it. With no sink, or once the frame holds kMaxFrameScopeBytes, the
  // segment is dropped and only the details are kept.
  void report(ThreadInfo info, std::span<const ScopeDetails> details, const StreamInfoRef& stream);

  // Queues the description of a scope for the next frame that reaches the sinks,
  // whichever thread uses it first: how names given at run time are described.
  void describe(ScopeDetails details);

  // Closes the current frame: the index is used even when the frame is empty, in
  // which case nothing reaches the sinks and the new details wait for the next one.
  void new_frame();
  void add_frame(std::shared_ptr<FrameData> frame);

  FrameSinkId add_sink(FrameSink sink);
  void remove_sink(FrameSinkId id);
  // A forked child's step: the sinks belong to the parent's recorder, and so do the
  // segments reported for the frame still open.
  void forget_sinks();
  // The next frame carries every known ScopeDetails, so a new sink learns them all.
  void emit_scope_snapshot() { propagate_all_scope_details_ = true; }

  uint64_t current_frame_index() const { return current_frame_index_; }
  const ScopeCollection& scope_collection() const { return scope_collection_; }

 private:
  template <class, zel::Poisoning>
  friend class zel::Mutex;  // the only one to create it, in lock()
  GlobalProfiler() = default;

  uint64_t current_frame_index_ = 0;
  size_t current_frame_bytes_ = 0;
  std::map<ThreadInfo, StreamInfo> current_frame_;
  std::vector<SharedScopeDetails> new_scopes_;
  std::map<FrameSinkId, FrameSink> sinks_;
  FrameSinkId next_sink_id_ = 1;
  bool propagate_all_scope_details_ = false;
  ScopeCollection scope_collection_;
};

// Takes the lock, closes the current frame and releases the lock, then tells every
// thread with scopes open to hand over at its next begin or end: the frame mark's
// first step, after the marking thread has handed over its own segment.
void new_frame();

// Fork handlers: the profiler's lock is held across fork(); a forked child forgets
// the sinks (GlobalProfiler::forget_sinks).
void hold_for_fork();
void release_after_fork(bool in_child);

}  // namespace profiler
