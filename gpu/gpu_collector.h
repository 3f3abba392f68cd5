// gpu/, above profiler/: the GPU collector thread and the platforms' samplers.
//
// The GPU collector: one background thread "zel-gpu" that polls the platform's GPU
// sampler every 250 ms and publishes the latest reading in four lock-free cells.
//
//   gpu::ensure_collector();   // once, when recording is armed
//   float util = std::bit_cast<float>(gpu::GPU_UTIL_BITS.load(std::memory_order_relaxed));
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "gpu/gpu_reading.h"

namespace zel::gpu {

// The published reading, zero until the first poll completes. The three 32-bit cells
// hold bit patterns of floats. Each cell is written and read alone with relaxed
// ordering, so one reader may combine values of two consecutive polls.
extern std::atomic<uint32_t> GPU_UTIL_BITS;   // overall utilisation, %
extern std::atomic<uint32_t> GPU_SM_BITS;     // shader / SM utilisation, %
extern std::atomic<uint32_t> GPU_POWER_BITS;  // power, W
extern std::atomic<uint64_t> GPU_MEM_BYTES;   // memory in use, bytes

inline constexpr std::chrono::nanoseconds kPollInterval = std::chrono::milliseconds(250);

// Starts the collector thread the first time it is called, from any number of threads
// at once; later calls do nothing. A thread that cannot be spawned is a Panic. On a
// platform without a usable sampler the thread ends at once and the cells stay 0.
void ensure_collector();

// A forked child has no collector thread: the next ensure_collector() starts one.
void forget_collector_in_child();

// Stores the four values of `r` into the cells, each by itself.
void publish(const GpuReading& r);

// The collector's loop: sleep, poll, publish, forever. It ends only when `poll` (or
// `sleep`) throws; the cells then keep the values of the last successful poll.
template <class Poll, class Sleep>
[[noreturn]] void run_collector(Poll&& poll, Sleep&& sleep) {
  for (;;) {
    sleep();
    publish(poll());
  }
}

}  // namespace zel::gpu
