#include "profiler/global_profiler.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "profiler/thread_profiler.h"

namespace profiler {

namespace {

std::atomic<size_t> SINK_COUNT{0};

zel::Mutex<GlobalProfiler, zel::Poisoning::Off>& the_profiler() {
  // Never destroyed: threads may still report while the process exits.
  static auto* profiler = new zel::Mutex<GlobalProfiler, zel::Poisoning::Off>();
  return *profiler;
}

}  // namespace

GlobalProfiler::Guard GlobalProfiler::lock() {
  return the_profiler().lock();
}

void hold_for_fork() {
  the_profiler().lock_for_fork();
}

void release_after_fork(bool in_child) {
  the_profiler().unlock_after_fork();
  if (in_child) GlobalProfiler::lock()->forget_sinks();
}

void GlobalProfiler::forget_sinks() {
  sinks_.clear();
  SINK_COUNT.store(0, std::memory_order_relaxed);
  current_frame_.clear();
  current_frame_bytes_ = 0;
}

bool frames_have_sinks() {
  return SINK_COUNT.load(std::memory_order_relaxed) > 0;
}

void GlobalProfiler::report(ThreadInfo info, std::span<const ScopeDetails> details,
                            const StreamInfoRef& stream) {
  const bool wanted =
      !sinks_.empty() && current_frame_bytes_ + stream.stream.size() <= kMaxFrameScopeBytes;
  for (const auto& d : details) new_scopes_.push_back(std::make_shared<const ScopeDetails>(d));
  if (!wanted) {
    if (!sinks_.empty()) {
      static std::once_flag said;
      std::call_once(said, [] {
        std::fputs(
            "zel: a profiler frame passed 64 MiB of scopes; scopes are dropped until the next "
            "frame mark\n",
            stderr);
      });
    }
    return;
  }
  current_frame_bytes_ += stream.stream.size();
  current_frame_[std::move(info)].extend(stream);
}

void GlobalProfiler::describe(ScopeDetails details) {
  new_scopes_.push_back(std::make_shared<const ScopeDetails>(std::move(details)));
}

void GlobalProfiler::new_frame() {
  const uint64_t index = current_frame_index_++;
  std::map<ThreadInfo, StreamInfo> streams = std::move(current_frame_);
  current_frame_.clear();
  current_frame_bytes_ = 0;
  const bool full = propagate_all_scope_details_;
  propagate_all_scope_details_ = false;
  std::vector<SharedScopeDetails> delta = new_scopes_;
  if (full) {
    for (const auto& [id, d] : scope_collection_.scope_id_to_details()) delta.push_back(d);
  }
  // New descriptions wait for a frame that reaches the sinks; a snapshot request goes
  // with the frame it was made for, empty or not.
  auto frame = FrameData::create(index, std::move(streams), std::move(delta), full);
  if (!frame) return;
  new_scopes_.clear();
  add_frame(std::move(frame));
}

void GlobalProfiler::add_frame(std::shared_ptr<FrameData> frame) {
  for (const auto& d : frame->scope_delta()) scope_collection_.insert(d);
  for (const auto& [id, sink] : sinks_) sink(frame);
}

FrameSinkId GlobalProfiler::add_sink(FrameSink sink) {
  const FrameSinkId id = next_sink_id_++;
  sinks_.insert_or_assign(id, std::move(sink));
  SINK_COUNT.store(sinks_.size(), std::memory_order_relaxed);
  return id;
}

void GlobalProfiler::remove_sink(FrameSinkId id) {
  sinks_.erase(id);
  SINK_COUNT.store(sinks_.size(), std::memory_order_relaxed);
}

void new_frame() {
  GlobalProfiler::lock()->new_frame();
  ThreadProfiler::notify_frame_marked();
}

}  // namespace profiler
