#include "profiler/global_profiler.h"

namespace profiler {

namespace {

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
  current_frame_.clear();
}

void GlobalProfiler::report(ThreadInfo info, std::span<const ScopeDetails> details,
                            const StreamInfoRef& stream) {
  for (const auto& d : details) new_scopes_.push_back(std::make_shared<const ScopeDetails>(d));
  current_frame_[std::move(info)].extend(stream);
}

void GlobalProfiler::new_frame() {
  const uint64_t index = current_frame_index_++;
  std::vector<SharedScopeDetails> delta = std::move(new_scopes_);
  new_scopes_.clear();
  std::map<ThreadInfo, StreamInfo> streams = std::move(current_frame_);
  current_frame_.clear();
  const bool full = propagate_all_scope_details_;
  propagate_all_scope_details_ = false;
  if (full) {
    for (const auto& [id, d] : scope_collection_.scope_id_to_details()) delta.push_back(d);
  }
  auto frame = FrameData::create(index, std::move(streams), std::move(delta), full);
  if (frame) add_frame(std::move(frame));
}

void GlobalProfiler::add_frame(std::shared_ptr<FrameData> frame) {
  for (const auto& d : frame->scope_delta()) scope_collection_.insert(d);
  for (const auto& [id, sink] : sinks_) sink(frame);
}

FrameSinkId GlobalProfiler::add_sink(FrameSink sink) {
  const FrameSinkId id = next_sink_id_++;
  sinks_.insert_or_assign(id, std::move(sink));
  return id;
}

void GlobalProfiler::remove_sink(FrameSinkId id) {
  sinks_.erase(id);
}

void new_frame() {
  GlobalProfiler::lock()->new_frame();
}

}  // namespace profiler
