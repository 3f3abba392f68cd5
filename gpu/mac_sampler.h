// The macOS GPU sampler: utilisation and memory from the "PerformanceStatistics" of the
// first IOAccelerator service, power from the IOReport "GPU Energy" counter.
//
// The sampler reaches the system only through `Platform`, a thin layer with one method
// per IOKit, CoreFoundation and dynamic-loading call it makes. The macOS build provides
// the real one (`system_platform()`); tests substitute their own, so every check and
// every figure of a poll runs on any platform.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "gpu/gpu_reading.h"

namespace zel::gpu::mac {

using GpuReading = gpu::GpuReading;

using CFRef = const void*;  // any CoreFoundation object (CFTypeRef)
using IoObject = uint32_t;  // an IOKit object: io_object_t, io_iterator_t

class Platform {
 public:
  virtual ~Platform() = default;

  // IOServiceMatching(class_name): a matching dictionary, consumed by the next call.
  virtual CFRef service_matching(const char* class_name) = 0;
  // IOServiceGetMatchingServices(default main port, matching, iterator).
  virtual int get_matching_services(CFRef matching, IoObject* iterator) = 0;
  virtual IoObject iterator_next(IoObject iterator) = 0;  // IOIteratorNext
  virtual void object_release(IoObject object) = 0;       // IOObjectRelease
  // IORegistryEntryCreateCFProperties(entry, properties, default allocator, 0); the
  // caller releases the dictionary.
  virtual int create_cf_properties(IoObject entry, CFRef* properties) = 0;

  virtual CFRef dictionary_get_value(CFRef dict, CFRef key) = 0;  // not owned; null if absent
  // CFNumberGetValue as kCFNumberSInt64Type; false when the value does not convert exactly.
  virtual bool number_get_i64(CFRef number, int64_t* value) = 0;
  virtual long array_count(CFRef array) = 0;
  virtual CFRef array_at(CFRef array, long index) = 0;  // not owned
  virtual bool equal(CFRef a, CFRef b) = 0;             // CFEqual
  // CFStringCreateWithBytes(default allocator, UTF-8, not external); null on failure.
  virtual CFRef string_create(std::string_view utf8) = 0;
  virtual std::string string_utf8(CFRef string) = 0;  // the string's text as UTF-8
  virtual CFRef retain(CFRef object) = 0;
  virtual void release(CFRef object) = 0;

  virtual void* open_library(const char* path, int mode) = 0;      // dlopen
  virtual void* find_symbol(void* library, const char* name) = 0;  // dlsym

  virtual std::chrono::steady_clock::time_point now() = 0;  // the monotonic clock
};

#ifdef __APPLE__
// The real IOKit, CoreFoundation and dlopen calls.
Platform& system_platform();
#endif

// Owns one reference to a CoreFoundation object and releases it through the platform.
class CfOwned {
 public:
  CfOwned() = default;
  CfOwned(Platform& p, CFRef object) : p_(&p), object_(object) {}
  CfOwned(CfOwned&& o) noexcept : p_(o.p_), object_(o.release()) {}
  CfOwned& operator=(CfOwned&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.p_;
      object_ = o.release();
    }
    return *this;
  }
  ~CfOwned() { reset(); }

  CFRef get() const { return object_; }
  // Gives up ownership without releasing.
  CFRef release() { return std::exchange(object_, nullptr); }
  void reset() {
    if (object_) p_->release(std::exchange(object_, nullptr));
  }

 private:
  Platform* p_ = nullptr;
  CFRef object_ = nullptr;
};

// The IOReport functions, looked up at run time; every object argument is a CFRef.
namespace ioreport {
using CopyChannelsInGroup = CFRef (*)(CFRef group, CFRef subgroup, uint64_t, uint64_t, uint64_t);
using CreateSubscription = const void* (*)(const void* allocator, CFRef desired, CFRef* subscribed,
                                           uint64_t channel_id, CFRef options);
using CreateSamples = CFRef (*)(const void* subscription, CFRef channels, CFRef options);
using CreateSamplesDelta = CFRef (*)(CFRef older, CFRef newer, CFRef options);
using ChannelGetChannelName = CFRef (*)(CFRef channel);
using ChannelGetUnitLabel = CFRef (*)(CFRef channel);
using SimpleGetIntegerValue = int64_t (*)(CFRef channel, int32_t index);
}  // namespace ioreport

inline constexpr const char* kIoReportPath = "/usr/lib/libIOReport.dylib";
inline constexpr int kRtldNow = 2;

// Set by the first absent PerformanceStatistics key of the process, whichever key and
// whichever thread: only that one absence is reported.
extern std::atomic<bool> WARNED;

// The integer at `key` of `dict`, or 0 when the key is absent (the first absence of
// the process emits one warning naming `key_text`). A present value that is not an
// exact 64-bit integer is a Panic.
int64_t dict_i64(Platform& p, CFRef dict, CFRef key, std::string_view key_text);

// The energy subscription and the last sample taken from it.
struct IoReport {
  const void* subscription = nullptr;
  CFRef channels = nullptr;  // subscribed channels
  CFRef prev = nullptr;      // the most recent sample, owned (replaced by each poll)
  CfOwned channels_key;      // "IOReportChannels"
  CfOwned energy_name;       // "GPU Energy"
  ioreport::CreateSamples create_samples = nullptr;
  ioreport::CreateSamplesDelta create_samples_delta = nullptr;
  ioreport::ChannelGetChannelName channel_get_channel_name = nullptr;
  ioreport::ChannelGetUnitLabel channel_get_unit_label = nullptr;
  ioreport::SimpleGetIntegerValue simple_get_integer_value = nullptr;
  std::chrono::steady_clock::time_point prev_time;
};

// Owned by one thread. Every failed check, in construction or in a poll, is a Panic
// whose message names the check. `p` must outlive the sampler.
class Sampler {
 public:
  explicit Sampler(Platform& p);
  // Destruction releases the six strings; the subscription, the channel dictionaries,
  // the last sample, the library and the service live until the process ends.
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Utilisation and memory now, and the power averaged since the previous poll (or
  // since construction). Advances the energy baseline.
  GpuReading poll();

 private:
  double energy_joules(CFRef chans);

  Platform& p_;
  IoObject service_ = 0;
  IoReport io_report_;
  CfOwned perf_key_;      // "PerformanceStatistics"
  CfOwned util_key_;      // "Device Utilization %"
  CfOwned renderer_key_;  // "Renderer Utilization %"
  CfOwned mem_key_;       // "In use system memory"
};

}  // namespace zel::gpu::mac
