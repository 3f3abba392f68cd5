// The frame view: the most recent profiled frames, the slowest ones seen, every scope
// description that came with them, and what holding them costs. GlobalFrameView is a
// FrameView behind a lock, fed by the global profiler while it exists.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <set>

#include "base/mutex.h"
#include "profiler/frame_data.h"
#include "profiler/global_profiler.h"
#include "profiler/scope_details.h"

namespace profiler {

using SharedFrame = std::shared_ptr<FrameData>;

// By frame index, then by duration.
struct OrderedByIndex {
  bool operator()(const SharedFrame& a, const SharedFrame& b) const;
};
// Longest first; equal durations by frame index. The last element is the shortest.
struct OrderedByDuration {
  bool operator()(const SharedFrame& a, const SharedFrame& b) const;
};

// Frames held in either collection, counted from the moment a frame stops being the
// newest. Every change saturates instead of wrapping.
struct Footprint {
  uint64_t frame_count = 0;
  uint64_t byte_count = 0;
  uint64_t unpacked_count = 0;  // frames still holding their in-memory streams
};

class FrameView {
 public:
  FrameView();

  // Takes a newly closed frame: learns its scopes, packs and counts the previous
  // newest frame, keeps it among the slow frames if it is slow enough, and appends
  // it to the recent ones. A frame that does not follow the newest one clears the view.
  void add_frame(SharedFrame frame);

  // The newest frame, or null.
  SharedFrame newest() const { return recent_.empty() ? nullptr : recent_.back(); }
  const std::deque<SharedFrame>& recent_frames() const { return recent_; }
  const std::set<SharedFrame, OrderedByIndex>& slow_by_index() const { return slow_by_index_; }
  const std::set<SharedFrame, OrderedByDuration>& slow_by_duration() const {
    return slow_by_duration_;
  }
  const ScopeCollection& scope_collection() const { return scope_collection_; }
  const Footprint& footprint() const { return footprint_; }

  size_t recent_limit = 1000;
  size_t slow_limit = 256;
  bool pack_older = true;  // pack a frame as soon as a newer one arrives

 private:
  void count(const SharedFrame& frame);
  void uncount(const SharedFrame& frame);
  bool in_recent(const SharedFrame& frame) const;

  std::deque<SharedFrame> recent_;
  ScopeCollection scope_collection_;
  std::set<SharedFrame, OrderedByIndex> slow_by_index_;
  std::set<SharedFrame, OrderedByDuration> slow_by_duration_;
  Footprint footprint_;
};

class GlobalFrameView {
 public:
  // Registers the view's sink with the global profiler and asks for a snapshot of
  // every known scope description; the destructor unregisters it.
  GlobalFrameView();
  ~GlobalFrameView();
  GlobalFrameView(const GlobalFrameView&) = delete;
  GlobalFrameView& operator=(const GlobalFrameView&) = delete;

  // The view, for as long as the result lives. Callers must not take the global
  // profiler's lock while they hold it.
  using Guard = zel::MutexGuard<FrameView, zel::Poisoning::Off>;
  Guard lock() { return shared_->lock(); }

  FrameSinkId sink_id() const { return sink_id_; }

 private:
  using Shared = zel::Mutex<FrameView, zel::Poisoning::Off>;
  std::shared_ptr<Shared> shared_;
  FrameSinkId sink_id_;
};

}  // namespace profiler
