// The two process-wide I/O counters: time spent in I/O and bytes transferred since
// the previous frame mark. Each frame mark takes both and leaves them at zero.
#pragma once

#include <atomic>
#include <cstdint>

namespace zel::io_acc {

// Nanoseconds spent in I/O and bytes transferred, zero at load time. The library offers
// no operation that adds to them, so every frame takes zeros.
extern std::atomic<uint64_t> IO_NS;
extern std::atomic<uint64_t> IO_BYTES;

struct Taken {
  uint64_t ns;
  uint64_t bytes;
};

// Takes the value of each counter and resets it to 0, one atomic exchange apiece
// (the two are not a consistent pair).
Taken take();

}  // namespace zel::io_acc
