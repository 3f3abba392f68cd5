#include "gpu/nvml_sampler.h"

#include <dlfcn.h>

#include <charconv>
#include <string_view>
#include <utility>

#include "base/error.h"

namespace zel::gpu::nvml {
namespace {

template <class Fn>
void find(void* lib, const char* name, Fn& slot, bool required) {
  void* address = dlsym(lib, name);
  if (!address && required) panic(std::string("missing NVML symbol: \"") + name + "\"");
  slot = reinterpret_cast<Fn>(address);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<Api> load(const char* library) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return std::nullopt;
  Api api{};
  find(lib, "nvmlInit_v2", api.init, true);
  find(lib, "nvmlShutdown", api.shutdown, true);
  find(lib, "nvmlErrorString", api.error_string, true);
  find(lib, "nvmlDeviceGetHandleByIndex_v2", api.device_by_index, true);
  find(lib, "nvmlDeviceGetHandleByUUID", api.device_by_uuid, true);
  find(lib, "nvmlDeviceGetUtilizationRates", api.utilization_rates, true);
  find(lib, "nvmlDeviceGetPowerUsage", api.power_usage, true);
  find(lib, "nvmlDeviceGetMemoryInfo", api.memory_info, true);
  find(lib, "nvmlGpmQueryDeviceSupport", api.gpm_query_device_support, false);
  find(lib, "nvmlGpmSampleAlloc", api.gpm_sample_alloc, false);
  find(lib, "nvmlGpmSampleFree", api.gpm_sample_free, false);
  find(lib, "nvmlGpmSampleGet", api.gpm_sample_get, false);
  find(lib, "nvmlGpmMetricsGet", api.gpm_metrics_get, false);
  return api;
}

DeviceChoice parse_visible_devices(const char* value) {
  DeviceChoice out;
  if (!value) return out;
  std::string_view first(value);
  first = trim(first.substr(0, first.find(',')));
  if (first.starts_with("GPU-") || first.starts_with("MIG-")) {
    out.kind = DeviceChoice::Kind::Uuid;
    out.uuid = std::string(first);
    return out;
  }
  const char* end = first.data() + first.size();
  auto [ptr, ec] = std::from_chars(first.data(), end, out.index);
  if (first.empty() || ec != std::errc() || ptr != end) out.kind = DeviceChoice::Kind::Hidden;
  return out;
}

Sampler::Sampler(const Api& api, const DeviceChoice& device) : api_(api) {
  check(api_.init(), "nvmlInit_v2");
  try {
    if (device.kind == DeviceChoice::Kind::Uuid) {
      check(api_.device_by_uuid(device.uuid.c_str(), &device_),
            ("nvmlDeviceGetHandleByUUID(\"" + device.uuid + "\")").c_str());
    } else {
      check(api_.device_by_index(device.index, &device_),
            ("nvmlDeviceGetHandleByIndex_v2(" + std::to_string(device.index) + ")").c_str());
    }
    // One trial call of each reading: "not supported" leaves it out, anything else but
    // success is a failure.
    auto offered = [this](Return rc, const char* call) {
      if (rc == kErrorNotSupported) return false;
      check(rc, call);
      return true;
    };
    Utilization u{};
    has_util_ = offered(api_.utilization_rates(device_, &u), "nvmlDeviceGetUtilizationRates");
    unsigned int mw = 0;
    has_power_ = offered(api_.power_usage(device_, &mw), "nvmlDeviceGetPowerUsage");
    Memory m{};
    has_memory_ = offered(api_.memory_info(device_, &m), "nvmlDeviceGetMemoryInfo");
    start_gpm();
  } catch (...) {
    api_.shutdown();
    throw;
  }
}

Sampler::~Sampler() {
  if (has_gpm_) {
    api_.gpm_sample_free(prev_);
    api_.gpm_sample_free(next_);
  }
  api_.shutdown();
}

void Sampler::check(Return rc, const char* call) const {
  if (rc == kSuccess) return;
  const char* text = api_.error_string ? api_.error_string(rc) : nullptr;
  panic(std::string(call) + " failed: " + (text ? text : "unknown error") + " (nvml error " +
        std::to_string(rc) + ")");
}

// Performance monitoring is a capability probe: a driver without it, a device that
// says no, or any failure while taking the first sample leaves SM activity at 0.
void Sampler::start_gpm() {
  const Api& a = api_;
  if (!a.gpm_query_device_support || !a.gpm_sample_alloc || !a.gpm_sample_free ||
      !a.gpm_sample_get || !a.gpm_metrics_get)
    return;
  GpmSupport support{kGpmSupportVersion, 0};
  if (a.gpm_query_device_support(device_, &support) != kSuccess || !support.is_supported_device)
    return;
  if (a.gpm_sample_alloc(&prev_) != kSuccess) return;
  if (a.gpm_sample_alloc(&next_) != kSuccess) {
    a.gpm_sample_free(prev_);
    return;
  }
  if (a.gpm_sample_get(device_, prev_) != kSuccess) {
    a.gpm_sample_free(prev_);
    a.gpm_sample_free(next_);
    return;
  }
  query_ = std::make_unique<GpmMetricsGet>();
  has_gpm_ = true;
}

// SM activity between the previous sample and a new one; the new one becomes the
// previous. A metric that NVML could not compute this time reads 0.
float Sampler::gpm_sm_util() {
  check(api_.gpm_sample_get(device_, next_), "nvmlGpmSampleGet");
  GpmMetricsGet& q = *query_;
  q.version = kGpmMetricsGetVersion;
  q.num_metrics = 1;
  q.sample1 = prev_;
  q.sample2 = next_;
  q.metrics[0] = GpmMetric{};
  q.metrics[0].metric_id = kGpmMetricSmUtil;
  check(api_.gpm_metrics_get(&q), "nvmlGpmMetricsGet");
  std::swap(prev_, next_);
  return q.metrics[0].nvml_return == kSuccess ? static_cast<float>(q.metrics[0].value) : 0.0f;
}

GpuReading Sampler::poll() {
  GpuReading out;
  if (has_util_) {
    Utilization u{};
    check(api_.utilization_rates(device_, &u), "nvmlDeviceGetUtilizationRates");
    out.util = static_cast<float>(u.gpu);
  }
  if (has_power_) {
    unsigned int mw = 0;
    check(api_.power_usage(device_, &mw), "nvmlDeviceGetPowerUsage");
    out.power_w = static_cast<float>(mw / 1000.0);
  }
  if (has_memory_) {
    Memory m{};
    check(api_.memory_info(device_, &m), "nvmlDeviceGetMemoryInfo");
    out.mem_bytes = static_cast<int64_t>(m.used);
  }
  if (has_gpm_) out.gpu_sm = gpm_sm_util();
  return out;
}

}  // namespace zel::gpu::nvml
