// The scope profiler's clock: nanoseconds since the Unix epoch, pinned to the wall
// clock once and then advanced by a monotonic counter, so it never steps back.
#pragma once

#include <cstdint>

namespace profiler {

using NanoSecond = int64_t;

// The current time. The first call in the process fixes the epoch anchor (and, where
// the CPU's time-stamp counter is the kernel's own clock source, measures the
// counter's rate for about 10 ms); every later call costs one counter read.
NanoSecond now_ns();

// Whether now_ns() reads the time-stamp counter (true) or the monotonic clock.
bool clock_uses_tsc();

}  // namespace profiler
