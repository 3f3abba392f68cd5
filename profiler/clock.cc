#include "profiler/clock.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace profiler {
namespace {

int64_t to_ns(const timespec& ts) {
  return static_cast<int64_t>(static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
                              static_cast<uint64_t>(ts.tv_nsec));
}

int64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return to_ns(ts);
}

int64_t wall_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec < 0 ? 0 : to_ns(ts);
}

#if defined(__x86_64__)
// The counter is only trusted where it ticks at a constant rate through sleep states
// (invariant TSC) and the kernel, which checks its synchronisation across CPUs, uses it
// as its own clock source.
bool tsc_usable() {
  unsigned a, b, c, d;
  if (!__get_cpuid(0x80000007, &a, &b, &c, &d) || !(d & (1u << 8))) return false;
  FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
  if (!f) return false;
  char name[32] = {};
  bool tsc = std::fgets(name, sizeof name, f) && std::strncmp(name, "tsc\n", 4) == 0;
  std::fclose(f);
  return tsc;
}

// One (counter, monotonic) pair, taken from the tightest of a few bracketing reads.
void sample_pair(uint64_t& ticks, int64_t& mono) {
  uint64_t best = ~uint64_t{0};
  for (int i = 0; i < 8; ++i) {
    uint64_t before = __rdtsc();
    int64_t m = monotonic_ns();
    uint64_t after = __rdtsc();
    if (after - before < best) {
      best = after - before;
      ticks = before + (after - before) / 2;
      mono = m;
    }
  }
}
#endif

struct Anchor {
  int64_t epoch_ns = 0;          // wall clock at the anchor
  int64_t mono_ns = 0;           // monotonic clock at the anchor
  uint64_t ticks = 0;            // counter at the anchor
  uint64_t ns_per_tick_q32 = 0;  // counter period in 2^-32 ns; 0: use the monotonic clock
};

Anchor make_anchor() {
  Anchor a;
  a.epoch_ns = wall_ns();
#if defined(__x86_64__)
  if (tsc_usable()) {
    uint64_t t0 = 0, t1 = 0;
    int64_t m0 = 0, m1 = 0;
    sample_pair(t0, m0);
    timespec pause = {0, 10000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
    sample_pair(t1, m1);
    if (t1 > t0 && m1 > m0) {
      a.ticks = t0;
      a.mono_ns = m0;
      a.ns_per_tick_q32 =
          static_cast<uint64_t>((static_cast<unsigned __int128>(m1 - m0) << 32) / (t1 - t0));
      return a;
    }
  }
#endif
  a.mono_ns = monotonic_ns();
  return a;
}

const Anchor& anchor() {
  static const Anchor a = make_anchor();
  return a;
}

}  // namespace

NanoSecond now_ns() {
  const Anchor& a = anchor();
#if defined(__x86_64__)
  if (a.ns_per_tick_q32 != 0) {
    // A core whose counter lags the anchoring core's by a few ticks reads the anchor.
    uint64_t ticks = __rdtsc();
    uint64_t delta = ticks > a.ticks ? ticks - a.ticks : 0;
    uint64_t elapsed =
        static_cast<uint64_t>((static_cast<unsigned __int128>(delta) * a.ns_per_tick_q32) >> 32);
    return static_cast<int64_t>(static_cast<uint64_t>(a.epoch_ns) + elapsed);
  }
#endif
  return static_cast<int64_t>(static_cast<uint64_t>(a.epoch_ns) +
                              static_cast<uint64_t>(monotonic_ns() - a.mono_ns));
}

bool clock_uses_tsc() {
  return anchor().ns_per_tick_q32 != 0;
}

}  // namespace profiler
