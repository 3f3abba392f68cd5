#include "gpu/mac_sampler.h"

#include <string>

#include "base/error.h"
#include "base/log.h"

namespace zel::gpu::mac {

std::atomic<bool> WARNED{false};

namespace {

constexpr const char* kUtilKey = "Device Utilization %";
constexpr const char* kRendererKey = "Renderer Utilization %";
constexpr const char* kMemKey = "In use system memory";

[[noreturn]] void assert_failed(const char* expr) {
  panic(std::string("assertion failed: ") + expr);
}

void check(bool ok, const char* expr) {
  if (!ok) assert_failed(expr);
}

void check_eq_zero(int64_t value) {
  if (value != 0) assert_eq_failed("", std::to_string(value), "0");
}

void check_ne_zero(uint64_t value) {
  if (value == 0) assert_ne_failed("0", "0");
}

CFRef created(CFRef object) {
  if (!object) panic("Attempted to create a NULL object.");
  return object;
}

CfOwned new_string(Platform& p, std::string_view text) {
  return CfOwned(p, created(p.string_create(text)));
}

template <class Fn>
Fn lookup(Platform& p, void* library, const char* name) {
  void* address = p.find_symbol(library, name);
  if (!address) panic(std::string("missing IOReport symbol: \"") + name + "\"");
  return reinterpret_cast<Fn>(address);
}

// Joules per unit of an IOReport energy counter, by its exact label.
double joules_per_unit(const std::string& label) {
  if (label == "nJ") return 0.000000001;
  if (label == "uJ" || label == "\xC2\xB5J" /* µJ */) return 0.000001;
  if (label == "mJ") return 0.001;
  if (label == "J") return 1.0;
  panic("unexpected IOReport energy unit: " + label);
}

}  // namespace

int64_t dict_i64(Platform& p, CFRef dict, CFRef key, std::string_view key_text) {
  if (CFRef value = p.dictionary_get_value(dict, key)) {
    int64_t out = 0;
    check(p.number_get_i64(value, &out), "ok");
    return out;
  }
  if (!WARNED.exchange(true)) {
    log::emit(log::Level::Warn, "zel::gpu::mac",
              std::string("IOAccelerator PerformanceStatistics missing ").append(key_text));
  }
  return 0;
}

Sampler::Sampler(Platform& p) : p_(p) {
  // The first accelerator; any others are ignored.
  CFRef matching = p.service_matching("IOAccelerator");
  IoObject iterator = 0;
  check_eq_zero(p.get_matching_services(matching, &iterator));
  check_ne_zero(iterator);
  service_ = p.iterator_next(iterator);
  check_ne_zero(service_);
  p.object_release(iterator);

  void* lib = p.open_library(kIoReportPath, kRtldNow);
  check(lib != nullptr, "!lib.is_null()");
  auto copy_channels_in_group =
      lookup<ioreport::CopyChannelsInGroup>(p, lib, "IOReportCopyChannelsInGroup");
  auto create_subscription =
      lookup<ioreport::CreateSubscription>(p, lib, "IOReportCreateSubscription");
  IoReport& r = io_report_;
  r.create_samples = lookup<ioreport::CreateSamples>(p, lib, "IOReportCreateSamples");
  r.create_samples_delta =
      lookup<ioreport::CreateSamplesDelta>(p, lib, "IOReportCreateSamplesDelta");
  r.channel_get_channel_name =
      lookup<ioreport::ChannelGetChannelName>(p, lib, "IOReportChannelGetChannelName");
  r.channel_get_unit_label =
      lookup<ioreport::ChannelGetUnitLabel>(p, lib, "IOReportChannelGetUnitLabel");
  r.simple_get_integer_value =
      lookup<ioreport::SimpleGetIntegerValue>(p, lib, "IOReportSimpleGetIntegerValue");

  CfOwned energy_model = new_string(p, "Energy Model");
  CFRef desired = copy_channels_in_group(energy_model.get(), nullptr, 0, 0, 0);
  check(desired != nullptr, "!desired.is_null()");
  r.subscription = create_subscription(nullptr, desired, &r.channels, 0, nullptr);
  check(r.subscription != nullptr, "!subscription.is_null()");
  check(r.channels != nullptr, "!channels.is_null()");
  r.prev = r.create_samples(r.subscription, r.channels, nullptr);
  check(r.prev != nullptr, "!prev.is_null()");
  r.prev_time = p.now();

  r.channels_key = new_string(p, "IOReportChannels");
  r.energy_name = new_string(p, "GPU Energy");
  energy_model.reset();
  perf_key_ = new_string(p, "PerformanceStatistics");
  util_key_ = new_string(p, kUtilKey);
  renderer_key_ = new_string(p, kRendererKey);
  mem_key_ = new_string(p, kMemKey);
}

GpuReading Sampler::poll() {
  CFRef properties = nullptr;
  check_eq_zero(p_.create_cf_properties(service_, &properties));
  CfOwned props(p_, properties);
  CFRef perf = p_.dictionary_get_value(props.get(), perf_key_.get());
  check(perf != nullptr, "!perf.is_null()");
  int64_t util = dict_i64(p_, perf, util_key_.get(), kUtilKey);
  int64_t gpu_sm = dict_i64(p_, perf, renderer_key_.get(), kRendererKey);
  int64_t mem = dict_i64(p_, perf, mem_key_.get(), kMemKey);
  props.reset();

  IoReport& r = io_report_;
  auto now = p_.now();
  auto elapsed = now - r.prev_time;
  CfOwned current(p_, r.create_samples(r.subscription, r.channels, nullptr));
  check(current.get() != nullptr, "!current.is_null()");
  CfOwned delta(p_, r.create_samples_delta(r.prev, current.get(), nullptr));
  check(delta.get() != nullptr, "!delta.is_null()");
  // The baseline advances before the delta is examined, so a poll that fails below
  // still leaves the next one measuring from here.
  p_.release(r.prev);
  r.prev = current.release();
  r.prev_time = now;

  CFRef chans = p_.dictionary_get_value(delta.get(), r.channels_key.get());
  check(chans != nullptr, "!chans.is_null()");
  double joules = energy_joules(chans);

  auto secs = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - secs);
  double elapsed_s = static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
  delta.reset();

  GpuReading out;
  out.mem_bytes = mem;
  out.util = static_cast<float>(util);
  out.gpu_sm = static_cast<float>(gpu_sm);
  out.power_w = elapsed_s > 0 ? static_cast<float>(joules / elapsed_s) : 0.0f;
  return out;
}

// The energy of the first "GPU Energy" channel of `chans`, in joules; 0 without one.
double Sampler::energy_joules(CFRef chans) {
  const IoReport& r = io_report_;
  long n = p_.array_count(chans);
  for (long i = 0; i < n; ++i) {
    CFRef channel = p_.array_at(chans, i);
    if (!p_.equal(r.channel_get_channel_name(channel), r.energy_name.get())) continue;
    int64_t value = r.simple_get_integer_value(channel, 0);
    CFRef label = created(r.channel_get_unit_label(channel));
    p_.retain(label);
    std::string text = p_.string_utf8(label);
    p_.release(label);
    return static_cast<double>(value) * joules_per_unit(text);
  }
  return 0.0;
}

}  // namespace zel::gpu::mac
