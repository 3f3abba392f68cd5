// The NVIDIA GPU sampler: utilisation, SM activity, power and memory of one device
// through NVML, which is opened at run time so that nothing is needed to build.
//
// The calls go through `Api`, a table of NVML's C entry points that `load` fills from
// the driver's library and that tests fill with their own functions.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "gpu/gpu_reading.h"

namespace zel::gpu::nvml {

// The few NVML types in use, declared with NVML's C layout.
using Return = int;  // nvmlReturn_t; 0 is success
inline constexpr Return kSuccess = 0;
inline constexpr Return kErrorNotSupported = 3;
using Device = struct nvmlDevice_st*;
struct Utilization {  // nvmlUtilization_t, percent over the last sample period
  unsigned int gpu;
  unsigned int memory;
};
struct Memory {  // nvmlMemory_t, bytes
  unsigned long long total;
  unsigned long long free;
  unsigned long long used;
};
struct GpmSupport {  // nvmlGpmSupport_t
  unsigned int version;
  unsigned int is_supported_device;
};
inline constexpr unsigned int kGpmSupportVersion = 1;
struct GpmSample {  // nvmlGpmSample_t, an opaque handle passed by value
  void* handle;
};
struct GpmMetric {  // nvmlGpmMetric_t
  unsigned int metric_id;
  Return nvml_return;
  double value;
  struct {
    char* short_name;
    char* long_name;
    char* unit;
  } metric_info;
};
inline constexpr unsigned int kGpmMetricSmUtil = 2;  // NVML_GPM_METRIC_SM_UTIL, 0 to 100
inline constexpr unsigned int kGpmMetricsGetVersion = 1;
struct GpmMetricsGet {  // nvmlGpmMetricsGet_t, version 1
  unsigned int version;
  unsigned int num_metrics;
  GpmSample sample1;
  GpmSample sample2;
  // NVML fills `num_metrics` entries. The table is larger than any driver's own, in
  // case one clears all of it.
  GpmMetric metrics[512];
};

inline constexpr const char* kLibrary = "libnvidia-ml.so.1";

struct Api {
  Return (*init)();                                   // nvmlInit_v2
  Return (*shutdown)();                               // nvmlShutdown
  const char* (*error_string)(Return);                // nvmlErrorString
  Return (*device_by_index)(unsigned int, Device*);   // nvmlDeviceGetHandleByIndex_v2
  Return (*device_by_uuid)(const char*, Device*);     // nvmlDeviceGetHandleByUUID
  Return (*utilization_rates)(Device, Utilization*);  // nvmlDeviceGetUtilizationRates
  Return (*power_usage)(Device, unsigned int*);       // nvmlDeviceGetPowerUsage, milliwatts
  Return (*memory_info)(Device, Memory*);             // nvmlDeviceGetMemoryInfo
  // Performance monitoring; null in drivers that predate it, which leaves SM at 0.
  Return (*gpm_query_device_support)(Device, GpmSupport*);  // nvmlGpmQueryDeviceSupport
  Return (*gpm_sample_alloc)(GpmSample*);                   // nvmlGpmSampleAlloc
  Return (*gpm_sample_free)(GpmSample);                     // nvmlGpmSampleFree
  Return (*gpm_sample_get)(Device, GpmSample);              // nvmlGpmSampleGet
  Return (*gpm_metrics_get)(GpmMetricsGet*);                // nvmlGpmMetricsGet
};

// Opens `library` and looks up the entry points. Nothing when the library cannot be
// opened (no NVIDIA driver); a Panic naming the first missing required symbol. The
// library stays open for the life of the process.
std::optional<Api> load(const char* library = kLibrary);

// The device CUDA would number 0: the first entry of CUDA_VISIBLE_DEVICES, an index or a
// UUID ("GPU-..." or "MIG-..."); index 0 when the variable is unset. An index is NVML's,
// which is CUDA's own numbering under CUDA_DEVICE_ORDER=PCI_BUS_ID; a UUID is exact.
struct DeviceChoice {
  enum class Kind { Index, Uuid, Hidden } kind = Kind::Index;
  unsigned int index = 0;
  std::string uuid;
};
// `value` is the variable's value, or null when unset. An empty or unusable first
// entry ("", "-1", "none") hides every device, as it does for CUDA.
DeviceChoice parse_visible_devices(const char* value);

// Owned by one thread. Construction initialises NVML, opens the device and finds out
// which readings the device offers: a reading that answers "not supported" is left
// out and reads 0, as SM activity does where performance monitoring is unavailable.
// Every other failing call, there or in a poll, is a Panic naming the call and NVML's
// error text.
class Sampler {
 public:
  // `device` must not be Hidden. `api` must outlive the sampler.
  Sampler(const Api& api, const DeviceChoice& device);
  ~Sampler();  // frees the monitoring samples and shuts NVML down
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Utilisation and memory now, power now, and SM activity since the previous poll
  // (or since construction).
  GpuReading poll();

 private:
  void check(Return rc, const char* call) const;
  void start_gpm();
  float gpm_sm_util();

  const Api& api_;
  Device device_ = nullptr;
  bool has_util_ = true;
  bool has_power_ = true;
  bool has_memory_ = true;
  bool has_gpm_ = false;
  GpmSample prev_{};  // the monitoring sample of the previous poll
  GpmSample next_{};
  std::unique_ptr<GpmMetricsGet> query_;
};

}  // namespace zel::gpu::nvml
