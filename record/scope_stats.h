// Scope statistics over many flame frames: per scope name (or per thread and name) how
// often it ran, how long its calls took and how much time it took per frame, and the
// call tree of all the frames merged by path.
//
//   ScopeStats s = scope_stats(flames, /*by_thread=*/false);
//   for (const ScopeRow& r : s.rows) print(r.name, r.calls, r.self_ns);
//
// Each frame is clipped on its own: a scope lies within the frame's [start, stop], within
// its parent's clipped range, and starts no earlier than its elder sibling's clipped
// stop; one clipped to nothing whose real duration is above 0 is left out with all it
// holds. Siblings with the same id and start are one scope (closed over open, then the
// later end), with the children of both; siblings are taken in the order they began.
// The self time of an instance is its clipped duration less its children's, never
// below 0.
//
// A scope longer than a frame comes in every frame it spans with its real start: the
// same (thread, scope id, start) seen again in a later frame is the same call, counted
// once, with the latest duration known (a closed one over an open one). An instance
// left out by clipping makes no call of its own, but still tells that a call seen
// open before has closed, and when.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "profiler/data.h"

namespace zel::record {

// One key's figures (a scope name, or a thread and a scope name).
struct ScopeRow {
  int64_t thread = -1;  // index into ScopeStats::threads; -1 when rows are by name
  std::string name;
  uint64_t calls = 0;
  uint64_t open_calls = 0;  // calls never seen closed
  uint64_t frames = 0;      // frames holding at least one instance
  int64_t total_ns = 0;     // clipped durations, an instance inside one of the same key left out
  int64_t self_ns = 0;
  // Over the calls' full known durations (unclipped; an open call up to the end of its
  // thread's report); percentiles interpolate linearly between ranks. NaN, and a max of
  // 0, for a key without calls (one whose only call was first seen under another name).
  double call_mean_ns = 0, call_p50_ns = 0, call_p99_ns = 0;
  int64_t call_max_ns = 0;
  // Over the key's self time in every decoded frame, 0 where it does not appear.
  double self_frame_mean_ns = 0, self_frame_p99_ns = 0;
};

struct ScopeStats {
  std::vector<profiler::ThreadInfo> threads;  // in the order they first appear
  std::vector<ScopeRow> rows;                 // in the order the keys first appear
  std::vector<size_t> undecodable;            // positions of the frames that do not decode
};

// One distinct path: a thread and the scope names from the outermost one down.
struct PathNode {
  uint32_t thread = 0;
  int64_t parent = -1;  // index of the path one shorter; -1 for an outermost scope
  std::string name;
  uint64_t calls = 0;
  int64_t total_ns = 0;
  int64_t self_ns = 0;
};

struct ScopePaths {
  std::vector<profiler::ThreadInfo> threads;
  std::vector<PathNode> nodes;  // a parent before its children
  std::vector<size_t> undecodable;
};

// `flames`: flame frames in ascending frame order. A frame that does not decode is
// skipped and its position listed.
ScopeStats scope_stats(std::span<const std::span<const uint8_t>> flames, bool by_thread);
ScopePaths scope_paths(std::span<const std::span<const uint8_t>> flames);

}  // namespace zel::record
