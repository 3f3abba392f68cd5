#include "gpu/gpu_collector.h"

#include <bit>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "base/error.h"
#include "base/thread.h"
#include "profiler/thread_profiler.h"

#ifdef __APPLE__
#include "gpu/mac_sampler.h"
#else
#include "gpu/nvml_sampler.h"
#endif

namespace zel::gpu {

std::atomic<uint32_t> GPU_UTIL_BITS{0};
std::atomic<uint32_t> GPU_SM_BITS{0};
std::atomic<uint32_t> GPU_POWER_BITS{0};
std::atomic<uint64_t> GPU_MEM_BYTES{0};

void publish(const GpuReading& r) {
  GPU_UTIL_BITS.store(std::bit_cast<uint32_t>(r.util), std::memory_order_relaxed);
  GPU_SM_BITS.store(std::bit_cast<uint32_t>(r.gpu_sm), std::memory_order_relaxed);
  GPU_POWER_BITS.store(std::bit_cast<uint32_t>(r.power_w), std::memory_order_relaxed);
  GPU_MEM_BYTES.store(static_cast<uint64_t>(r.mem_bytes), std::memory_order_relaxed);
}

namespace {

void sleep_interval() {
  std::this_thread::sleep_for(kPollInterval);
}

#ifdef __APPLE__

struct Target {};

Target choose_target() {
  return {};
}

void collect(Target) {
  mac::Sampler sampler(mac::system_platform());
  run_collector([&] { return sampler.poll(); }, sleep_interval);
}

#else

// The device is chosen on the thread that arms recording, where the environment is
// read; the collector only uses the result.
struct Target {
  std::optional<nvml::DeviceChoice> device;
};

Target choose_target() {
#ifdef __linux__
  return {nvml::parse_visible_devices(std::getenv("CUDA_VISIBLE_DEVICES"))};
#else
  return {};
#endif
}

// Without the NVIDIA library, or with every device hidden from this process, there is
// nothing to sample: the thread ends without a word and the cells stay 0.
void collect(Target target) {
  if (!target.device || target.device->kind == nvml::DeviceChoice::Kind::Hidden) return;
  std::optional<nvml::Api> api = nvml::load();
  if (!api) return;
  nvml::Sampler sampler(*api, *target.device);
  run_collector([&] { return sampler.poll(); }, sleep_interval);
}

#endif

}  // namespace

// Set once a collector thread has been started in this process.
static std::atomic<bool> STARTED{false};

void ensure_collector() {
  if (STARTED.exchange(true)) return;
  Target target = choose_target();
  try {
    spawn_detached("zel-gpu", [target = std::move(target)] {
      profiler::set_this_thread_name("zel-gpu");
      collect(target);
    });
  } catch (const std::system_error& e) {
    STARTED.store(false);
    panic(std::string("failed to spawn thread: ") + e.what());
  }
}

void forget_collector_in_child() {
  STARTED.store(false);
}

}  // namespace zel::gpu
