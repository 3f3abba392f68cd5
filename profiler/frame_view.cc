#include "profiler/frame_view.h"

#include <algorithm>
#include <limits>
#include <string>

namespace profiler {

namespace {

uint64_t add_sat(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}
uint64_t sub_sat(uint64_t a, uint64_t b) {
  return b > a ? 0 : a - b;
}

}  // namespace

bool OrderedByIndex::operator()(const SharedFrame& a, const SharedFrame& b) const {
  const auto& x = a->meta();
  const auto& y = b->meta();
  if (x.frame_index != y.frame_index) return x.frame_index < y.frame_index;
  return x.duration_ns() < y.duration_ns();
}

bool OrderedByDuration::operator()(const SharedFrame& a, const SharedFrame& b) const {
  const auto& x = a->meta();
  const auto& y = b->meta();
  if (x.duration_ns() != y.duration_ns()) return x.duration_ns() > y.duration_ns();
  return x.frame_index < y.frame_index;
}

FrameView::FrameView() = default;

void FrameView::count(const SharedFrame& f) {
  footprint_.frame_count = add_sat(footprint_.frame_count, 1);
  footprint_.byte_count = add_sat(footprint_.byte_count, f->memory_use());
  if (f->holds_unpacked()) footprint_.unpacked_count = add_sat(footprint_.unpacked_count, 1);
}

void FrameView::uncount(const SharedFrame& f) {
  footprint_.frame_count = sub_sat(footprint_.frame_count, 1);
  footprint_.byte_count = sub_sat(footprint_.byte_count, f->memory_use());
  if (f->holds_unpacked()) footprint_.unpacked_count = sub_sat(footprint_.unpacked_count, 1);
}

bool FrameView::in_recent(const SharedFrame& f) const {
  OrderedByIndex less;
  auto it = std::lower_bound(recent_.begin(), recent_.end(), f, less);
  return it != recent_.end() && !less(f, *it);
}

void FrameView::add_frame(SharedFrame frame) {
  for (const auto& d : frame->scope_delta()) scope_collection_.insert(d);

  if (!recent_.empty() && frame->meta().frame_index <= recent_.back()->meta().frame_index) {
    footprint_ = {};
    recent_.clear();
    slow_by_index_.clear();
    slow_by_duration_.clear();
  }

  if (!recent_.empty()) {
    const SharedFrame& previous = recent_.back();
    if (pack_older) previous->create_packed();
    count(previous);
  }

  const bool admitted =
      slow_by_duration_.size() < slow_limit ||
      (!slow_by_duration_.empty() &&
       (*slow_by_duration_.rbegin())->meta().duration_ns() < frame->meta().duration_ns());
  if (admitted) {
    if (slow_by_duration_.size() != slow_by_index_.size()) {
      zel::assert_eq_failed("slow frame sets out of step", std::to_string(slow_by_duration_.size()),
                            std::to_string(slow_by_index_.size()));
    }
    slow_by_duration_.insert(frame);
    slow_by_index_.insert(frame);
    while (slow_by_duration_.size() > slow_limit) {
      auto shortest = std::prev(slow_by_duration_.end());
      SharedFrame gone = *shortest;
      slow_by_duration_.erase(shortest);
      slow_by_index_.erase(gone);
      if (!in_recent(gone)) uncount(gone);
    }
  }

  recent_.push_back(std::move(frame));
  while (recent_.size() > recent_limit) {
    SharedFrame gone = std::move(recent_.front());
    recent_.pop_front();
    if (!slow_by_index_.contains(gone)) uncount(gone);
  }
}

GlobalFrameView::GlobalFrameView() : shared_(std::make_shared<Shared>()) {
  auto global = GlobalProfiler::lock();
  std::shared_ptr<Shared> view = shared_;
  sink_id_ =
      global->add_sink([view](SharedFrame frame) { view->lock()->add_frame(std::move(frame)); });
  global->emit_scope_snapshot();
}

GlobalFrameView::~GlobalFrameView() {
  GlobalProfiler::lock()->remove_sink(sink_id_);
}

}  // namespace profiler
