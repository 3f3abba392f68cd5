// The flame-frame byte format, written and read in this one place: the per-thread
// scope stream records, the packed thread map and the "PFD4" frame around them.
//
//   frame   := "PFD4" u32 M meta{M bytes} u32 P u8 kind(=1) packed{P} u32 L scopes{L}
//   meta    := uint frame_index, int start, int stop, uint bytes, uint scopes   (compact)
//   packed  := u32 raw length, one LZ4 block of the thread map
//   threads := uint count (opt<int> start, text name, bytes stream, uint scopes,
//              uint depth, int start, int stop){count}
//   scopes  := uint count (opt<uint> id, opt<text> name, text function, text file,
//              uint line){count}
//   stream  := (begin | end)*   (fixed-width, little-endian)
//   begin   := 0x28 u32 id, i64 start, u8 n (<= 127), n data bytes, u64 size
//              (bytes of the children up to the end record; all ones while open)
//   end     := 0x29 i64 stop
//
// Decoding never trusts a length or a count it has not checked against the bytes that
// are there, never recurses, and reports malformed input as a Panic naming the first
// thing that does not parse.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/coding.h"
#include "profiler/data.h"
#include "profiler/frame_data.h"
#include "profiler/scope_details.h"

namespace profiler {

// The records of a thread's scope stream.
namespace scope_record {
inline constexpr uint8_t kBeginTag = 0x28;
inline constexpr uint8_t kEndTag = 0x29;
inline constexpr size_t kMaxDataLen = 127;
inline constexpr uint64_t kOpenSize = ~uint64_t{0};  // the size field of a scope still open

// Offsets inside a begin record.
inline constexpr size_t kIdAt = 1;
inline constexpr size_t kStartAt = 5;
inline constexpr size_t kDataLenAt = 13;
inline constexpr size_t kDataAt = 14;
inline constexpr size_t begin_len(size_t data_len) {
  return kDataAt + data_len + 8;
}
inline constexpr size_t size_at(size_t data_len) {
  return kDataAt + data_len;
}
inline constexpr size_t kEndLen = 9;

// Fills the begin record at p (begin_len(data.size()) bytes, data at most kMaxDataLen)
// with the size field open; the start time is written later with set_start.
void put_begin(uint8_t* p, ScopeId id, std::string_view data);
inline void set_start(uint8_t* p, NanoSecond start) {
  zel::store_fixed(p + kStartAt, start);
}
void put_end(zel::Bytes& out, NanoSecond stop);
}  // namespace scope_record

inline constexpr uint8_t kFlameMagic[4] = {'P', 'F', 'D', '4'};

// The thread map compressed into one LZ4 block.
PackedStreams pack_streams(const ThreadStreams& streams);

// Appends one flame frame of the given parts.
void append_flame_frame(const FrameMeta& meta, const PackedStreams& packed,
                        std::span<const SharedScopeDetails> scopes, zel::Bytes& out);

// One decoded scope. Scopes are kept in the order they began (depth first), so a parent
// always comes before its children.
struct DecodedScope {
  ScopeId id = 0;
  NanoSecond start_ns = 0;
  NanoSecond stop_ns = 0;  // for an open scope, the end of its stream's time range
  int64_t parent = -1;     // index of the enclosing scope, -1 for an outermost one
  uint32_t depth = 0;      // 0 for an outermost scope
  bool open = false;       // still open when its thread reported
  std::string data;
};

struct DecodedThread {
  ThreadInfo info;
  uint64_t num_scopes = 0;
  uint64_t depth = 0;
  RangeNs range_ns = kEmptyRange;
  std::vector<DecodedScope> scopes;
};

struct DecodedFlame {
  FrameMeta meta;
  std::vector<DecodedThread> threads;
  std::vector<ScopeDetails> scopes;  // what each scope id stands for
};

// Appends the scopes of one stream to `out`. Records nest as they come: an end record
// closes the innermost open scope; an end record with no scope open is skipped (the
// profiler writes one for a mismatched end). Scopes still open at the end of the
// stream are marked open and end at `open_stop`.
void parse_scope_stream(std::span<const uint8_t> stream, std::vector<DecodedScope>& out,
                        NanoSecond open_stop = 0);

DecodedFlame decode_flame(std::span<const uint8_t> bytes);

// The profiler frame index in a flame frame's meta, read without decoding the rest; a
// Panic when the magic or the meta does not parse.
uint64_t flame_frame_index(std::span<const uint8_t> bytes);

}  // namespace profiler
