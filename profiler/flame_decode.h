// Reads flame frames back: the "PFD4" bytes that FrameData::write_into appends, and
// the per-thread scope streams inside them. Decoding never trusts a length or a count
// it has not checked against the bytes that are there, never recurses, and reports
// malformed input as a Panic naming the first thing that does not parse.
//
//   profiler::DecodedFlame f = profiler::decode_flame(frame.flame);
//   for (auto& t : f.threads)
//     for (auto& s : t.scopes) use(s.id, s.start_ns, s.stop_ns, s.parent);
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "data.h"
#include "frame_data.h"
#include "scope_details.h"

namespace profiler {

// One scope of a stream. Scopes are kept in the order they began (depth first), so a
// parent always comes before its children.
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

}  // namespace profiler
