#include "frame_data.h"

#include <lz4.h>

#include <cstring>
#include <mutex>
#include <string>

#include "serialize.h"

namespace profiler {

namespace {

// Byte counts in a flame frame are u32 fields; larger sections cannot be written.
uint32_t section_len(size_t n, const char* what) {
  if (n > 0xFFFFFFFFu) zel::panic(std::string("flame frame ") + what + " exceeds 4 GiB");
  return static_cast<uint32_t>(n);
}

}  // namespace

PackedStreams PackedStreams::pack(const ThreadStreams& streams) {
  zel::Bytes encoded;
  encoded.reserve(serialize::size_of(streams));
  serialize::encode(encoded, streams);
  if (encoded.size() > LZ4_MAX_INPUT_SIZE) {
    zel::panic("flame frame streams of " + std::to_string(encoded.size()) +
               " bytes exceed the LZ4 block limit");
  }
  const int src_len = static_cast<int>(encoded.size());
  const int bound = LZ4_compressBound(src_len);

  // Compress into scratch space of the worst-case size, then keep an exact copy.
  thread_local zel::Bytes scratch;
  thread_local LZ4_stream_t state;
  if (scratch.size() < static_cast<size_t>(bound)) scratch.resize(static_cast<size_t>(bound));
  const int written =
      LZ4_compress_fast_extState(&state, reinterpret_cast<const char*>(encoded.data()),
                                 reinterpret_cast<char*>(scratch.data()), src_len, bound, 1);
  if (written <= 0) zel::panic("LZ4 compression of a flame frame failed");

  PackedStreams packed;
  packed.bytes.reserve(4 + static_cast<size_t>(written));
  zel::put_u32(packed.bytes, static_cast<uint32_t>(src_len));
  zel::put_bytes(packed.bytes, scratch.data(), static_cast<size_t>(written));
  return packed;
}

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

FrameData::State FrameData::state() const {
  std::shared_lock lock(mu_);
  if (unpacked_ && packed_) return State::Both;
  return packed_ ? State::Packed : State::Unpacked;
}

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
  packed_ = PackedStreams::pack(unpacked_->thread_streams);
  unpacked_.reset();
}

zel::Status FrameData::write_into(const ScopeCollection* scopes, zel::Bytes& out) {
  const uint32_t meta_len = section_len(serialize::size_of(meta_), "meta");
  zel::put_bytes(out, serialize::kMagic, 4);
  zel::put_u32(out, meta_len);
  serialize::encode(out, meta_);

  create_packed();
  std::shared_lock lock(mu_);
  if (!packed_) zel::panic("flame frame without streams");
  zel::put_u32(out, section_len(packed_->bytes.size(), "packed streams"));
  zel::put_u8(out, packed_->compression_kind);
  zel::put_bytes(out, packed_->bytes.data(), packed_->bytes.size());

  std::vector<SharedScopeDetails> collected;
  if (scopes) {
    collected.reserve(scopes->scope_id_to_details().size());
    for (const auto& [id, d] : scopes->scope_id_to_details()) collected.push_back(d);
  }
  const auto& list = scopes ? collected : scope_delta_;
  const size_t list_len = serialize::size_of(list);
  zel::put_u32(out, section_len(list_len, "scope list"));
  out.reserve(out.size() + list_len);
  serialize::encode(out, list);
  return zel::Status::success();
}

}  // namespace profiler
