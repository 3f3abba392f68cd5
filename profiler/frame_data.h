// One closed profiler frame: its summary, its per-thread streams (in memory, or
// packed into one LZ4 block once it is serialised or no longer the newest) and the
// scope descriptions it carries. Shared by the global profiler, sinks and the view.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "base/coding.h"
#include "profiler/data.h"
#include "profiler/scope_details.h"

namespace profiler {

struct FrameMeta {
  uint64_t frame_index = 0;
  RangeNs range_ns = kEmptyRange;  // smallest start and largest stop over all threads
  uint64_t num_bytes = 0;          // stream bytes of all threads
  uint64_t num_scopes = 0;

  uint64_t duration_ns() const {
    return static_cast<uint64_t>(range_ns.second) - static_cast<uint64_t>(range_ns.first);
  }
};

using ThreadStreams = std::map<ThreadInfo, std::shared_ptr<const StreamInfo>>;

struct UnpackedFrameData {
  FrameMeta meta;
  ThreadStreams thread_streams;
};

// The packed form of a frame's streams: the encoded thread map, LZ4-compressed.
struct PackedStreams {
  static constexpr uint8_t kLz4 = 1;  // LZ4 block behind a u32 uncompressed length
  uint8_t compression_kind = kLz4;
  zel::Bytes bytes;  // u32 uncompressed length, then one LZ4 block
};

class FrameData {
 public:
  // A frame of the given streams, or null when it would be empty (no thread, or no
  // valid time range).
  static std::shared_ptr<FrameData> create(uint64_t index, std::map<ThreadInfo, StreamInfo> streams,
                                           std::vector<SharedScopeDetails> scope_delta,
                                           bool full_delta);

  // Builds a frame from parts, in any state; for consumers that restore frames.
  FrameData(FrameMeta meta, std::shared_ptr<const UnpackedFrameData> unpacked,
            std::optional<PackedStreams> packed, std::vector<SharedScopeDetails> scope_delta,
            bool full_delta);

  const FrameMeta& meta() const { return meta_; }
  const std::vector<SharedScopeDetails>& scope_delta() const { return scope_delta_; }
  bool full_delta() const { return full_delta_; }

  // Whether the state still holds the in-memory streams (Unpacked or Both).
  bool holds_unpacked() const;
  // num_bytes while unpacked data is held, plus the packed bytes once packed.
  uint64_t memory_use() const;
  // The in-memory streams, or null once packed.
  std::shared_ptr<const UnpackedFrameData> unpacked() const;

  // Packs the streams unless already packed; later calls change nothing.
  void create_packed();

  // Appends one flame frame: "PFD4", the encoded meta, the packed streams and the
  // scope list (every description of `scopes`, or this frame's delta without it).
  void write_into(const ScopeCollection* scopes, zel::Bytes& out);

 private:
  const FrameMeta meta_;
  mutable std::shared_mutex mu_;  // guards the two fields below
  std::shared_ptr<const UnpackedFrameData> unpacked_;
  std::optional<PackedStreams> packed_;
  const std::vector<SharedScopeDetails> scope_delta_;
  const bool full_delta_;
};

}  // namespace profiler
