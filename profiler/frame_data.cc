#include "profiler/frame_data.h"

#include <cstring>
#include <mutex>
#include <string>

#include "base/error.h"
#include "profiler/flame_format.h"

namespace profiler {

std::shared_ptr<FrameData> FrameData::create(uint64_t index,
                                             std::map<ThreadInfo, StreamInfo> streams,
                                             std::vector<SharedScopeDetails> scope_delta,
                                             bool full_delta) {
  auto unpacked = std::make_shared<UnpackedFrameData>();
  FrameMeta& meta = unpacked->meta;
  meta.frame_index = index;
  for (auto& [info, stream] : streams) {
    meta.num_bytes += stream.stream.size();
    meta.num_scopes += stream.num_scopes;
    meta.range_ns.first = std::min(meta.range_ns.first, stream.range_ns.first);
    meta.range_ns.second = std::max(meta.range_ns.second, stream.range_ns.second);
    unpacked->thread_streams.emplace(info, std::make_shared<const StreamInfo>(std::move(stream)));
  }
  if (streams.empty() || meta.range_ns.first > meta.range_ns.second) return nullptr;
  FrameMeta m = meta;
  return std::make_shared<FrameData>(m, std::move(unpacked), std::nullopt, std::move(scope_delta),
                                     full_delta);
}

FrameData::FrameData(FrameMeta meta, std::shared_ptr<const UnpackedFrameData> unpacked,
                     std::optional<PackedStreams> packed,
                     std::vector<SharedScopeDetails> scope_delta, bool full_delta)
    : meta_(meta),
      unpacked_(std::move(unpacked)),
      packed_(std::move(packed)),
      scope_delta_(std::move(scope_delta)),
      full_delta_(full_delta) {}

bool FrameData::holds_unpacked() const {
  std::shared_lock lock(mu_);
  return unpacked_ != nullptr;
}

uint64_t FrameData::memory_use() const {
  std::shared_lock lock(mu_);
  uint64_t n = unpacked_ ? unpacked_->meta.num_bytes : 0;
  return n + (packed_ ? packed_->bytes.size() : 0);
}

std::shared_ptr<const UnpackedFrameData> FrameData::unpacked() const {
  std::shared_lock lock(mu_);
  return unpacked_;
}

void FrameData::create_packed() {
  std::unique_lock lock(mu_);
  if (packed_ || !unpacked_) return;
  packed_ = pack_streams(unpacked_->thread_streams);
  unpacked_.reset();
}

void FrameData::write_into(const ScopeCollection* scopes, zel::Bytes& out) {
  create_packed();
  std::shared_lock lock(mu_);
  if (!packed_) zel::panic("flame frame without streams");
  if (!scopes) return append_flame_frame(meta_, *packed_, scope_delta_, out);
  std::vector<SharedScopeDetails> collected;
  collected.reserve(scopes->scope_id_to_details().size());
  for (const auto& [id, d] : scopes->scope_id_to_details()) collected.push_back(d);
  append_flame_frame(meta_, *packed_, collected, out);
}

}  // namespace profiler
