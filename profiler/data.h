// The records a thread reports: who it is (ThreadInfo) and one segment of its scope
// stream with a few statistics (StreamInfo).
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/coding.h"
#include "profiler/clock.h"

namespace profiler {

// A reporting thread. Ordered by start time (absent first), then by name bytewise;
// frames keep their per-thread streams in this order, and it reaches the file.
struct ThreadInfo {
  std::optional<NanoSecond> start_time_ns;  // start of the first scope it ever opened
  std::string name;                         // empty for threads the host created

  auto operator<=>(const ThreadInfo&) const = default;
  bool operator==(const ThreadInfo&) const = default;
};

using RangeNs = std::pair<NanoSecond, NanoSecond>;

inline constexpr RangeNs kEmptyRange = {std::numeric_limits<NanoSecond>::max(),
                                        std::numeric_limits<NanoSecond>::min()};

// A read-only view of a StreamInfo, as handed to a reporter.
struct StreamInfoRef {
  std::span<const uint8_t> stream;
  uint64_t num_scopes = 0;
  uint64_t depth = 0;
  RangeNs range_ns = kEmptyRange;
  size_t reopened = 0;                // leading begin records that reopen open scopes
  std::span<const size_t> open_at{};  // begin records still open at the end, outermost first
};

// One thread's stream segment: scope records and what they hold.
struct StreamInfo {
  zel::Bytes stream;
  uint64_t num_scopes = 0;         // scope ends written
  uint64_t depth = 0;              // most scopes open at once, measured at each end
  RangeNs range_ns = kEmptyRange;  // (earliest start, latest stop)
  // A segment handed over with scopes open, and the next one that opens them again
  // (profiler/thread_profiler.h): how many begin records at the front reopen scopes,
  // and where the begin records still open at the end are.
  size_t reopened = 0;
  std::vector<size_t> open_at;

  StreamInfoRef view() const { return {stream, num_scopes, depth, range_ns, reopened, open_at}; }

  // Appends the other segment and folds in its statistics. A segment that reopens the
  // scopes this one left open continues them: its reopening records are dropped and
  // the size fields of the open ones here are set from its own.
  void extend(const StreamInfoRef& other);

  // Back to the empty value, keeping the byte vector's capacity.
  void clear() {
    stream.clear();
    num_scopes = 0;
    depth = 0;
    range_ns = kEmptyRange;
    reopened = 0;
    open_at.clear();
  }
};

}  // namespace profiler
