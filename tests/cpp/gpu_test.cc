#include <dlfcn.h>
#include <gtest/gtest.h>

#include <bit>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "base/log.h"
#include "gpu/gpu_collector.h"
#include "gpu/mac_sampler.h"
#include "gpu/nvml_sampler.h"
#include "tests/cpp/support.h"

namespace zel::gpu {
namespace {

using namespace std::chrono_literals;
using namespace mac;
using namespace nvml;
using testing::panic_message;

auto fields(const GpuReading& r) {
  return std::tuple(r.mem_bytes, r.util, r.gpu_sm, r.power_w);
}
GpuReading cells() {
  return {static_cast<int64_t>(GPU_MEM_BYTES.load()), std::bit_cast<float>(GPU_UTIL_BITS.load()),
          std::bit_cast<float>(GPU_SM_BITS.load()), std::bit_cast<float>(GPU_POWER_BITS.load())};
}

TEST(Collector, PublishesEachPollAndKeepsTheLastAfterAFailedOne) {
  const std::vector<GpuReading> polls = {{1000, 10.5f, 20.25f, 3.5f}, {2000, 11.0f, 21.0f, 4.75f}};
  size_t n = 0;
  std::vector<int64_t> at_sleep;  // the memory cell as each sleep begins
  publish({});
  EXPECT_EQ(panic_message([&] {
              run_collector(
                  [&] {
                    if (n == polls.size()) panic("poll failed");
                    return polls[n++];
                  },
                  [&] { at_sleep.push_back(cells().mem_bytes); });
            }),
            "poll failed");
  // A sleep before every poll, and each poll published before the next sleep.
  EXPECT_EQ(at_sleep, (std::vector<int64_t>{0, 1000, 2000}));
  EXPECT_EQ(fields(cells()), fields(polls[1]));
  publish({});
}

TEST(Collector, WithoutAnNvidiaDriverEndsQuietlyAndLeavesTheCellsAtZero) {
  if (void* lib = dlopen(nvml::kLibrary, RTLD_LAZY | RTLD_LOCAL)) {
    dlclose(lib);
    GTEST_SKIP() << "this machine has an NVIDIA driver";
  }
  ::testing::internal::CaptureStderr();
  std::thread other([] { ensure_collector(); });
  ensure_collector();
  other.join();
  std::this_thread::sleep_for(kPollInterval + 150ms);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(fields(cells()), fields({}));
  const auto names = testing::thread_names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "zel-gpu"), 0);
}

using Channels = std::vector<std::tuple<std::string, const char*, int64_t>>;  // name, unit, value

// IOKit, CoreFoundation and IOReport in memory. Objects live as long as the fake and
// count references, so a test sees what the sampler released; `owned` marks those the
// sampler must release. The calls named in `faults` fail; the IOReport functions reach
// the live fake through `active`.
class FakeMac : public Platform {
 public:
  struct Obj {
    std::string text;  // a string's text, a channel's name
    int64_t number = 0;
    std::map<std::string, CFRef> entries = {};
    std::vector<CFRef> items = {};
    int refs = 1;
    bool owned = false;
  };
  std::set<std::string> faults;
  std::map<std::string, int64_t> perf = {{"Device Utilization %", 42},
                                         {"Renderer Utilization %", 17},
                                         {"In use system memory", 3'000'000'123}};
  CFRef channels = nullptr;  // the "IOReportChannels" array of the next delta
  std::chrono::steady_clock::time_point clock{};
  std::deque<Obj> objects;  // every object made, the sampler's and the fake's own
  // What the sampler did.
  std::vector<CFRef> samples;
  std::vector<std::pair<CFRef, CFRef>> delta_args;  // (older, newer)
  std::vector<IoObject> io_released;
  IoObject next_service = 11, properties_of = 0;

  FakeMac() {
    active = this;
    energy({});
  }
  ~FakeMac() override { active = nullptr; }
  bool fails(const std::string& what) const { return faults.count(what) > 0; }
  CFRef add(Obj o) { return &objects.emplace_back(std::move(o)); }
  CFRef dict(std::map<std::string, CFRef> e, bool owned = false) {
    return add({"", 0, std::move(e), {}, 1, owned});
  }
  void energy(const Channels& list) {
    Obj array;
    for (auto& [name, unit, value] : list) {
      Obj channel{name, value};
      if (unit) channel.entries["unit"] = add({unit});
      array.items.push_back(add(std::move(channel)));
    }
    channels = add(std::move(array));
  }
  static Obj& obj(CFRef r) { return *static_cast<Obj*>(const_cast<void*>(r)); }
  size_t live_strings() const {
    return std::count_if(objects.begin(), objects.end(),
                         [](const Obj& o) { return o.owned && o.refs > 0 && !o.text.empty(); });
  }

  CFRef service_matching(const char* name) override { return add({name}); }
  int get_matching_services(CFRef matching, IoObject* it) override {
    EXPECT_EQ(obj(matching).text, "IOAccelerator");
    *it = fails("iterator") ? 0 : 5;
    return fails("matching") ? 5 : 0;
  }
  IoObject iterator_next(IoObject) override { return fails("service") ? 0 : next_service++; }
  void object_release(IoObject o) override { io_released.push_back(o); }
  int create_cf_properties(IoObject entry, CFRef* out) override {
    properties_of = entry;
    std::map<std::string, CFRef> p;
    for (auto& [key, value] : perf) p[key] = add({"", value});
    *out = dict(fails("perf") ? std::map<std::string, CFRef>{}
                              : std::map<std::string, CFRef>{{"PerformanceStatistics", dict(p)}},
                true);
    return fails("properties") ? -536870206 : 0;
  }
  CFRef dictionary_get_value(CFRef d, CFRef key) override { return entry(d, obj(key).text); }
  bool number_get_i64(CFRef n, int64_t* v) override {
    return *v = obj(n).number, !fails("inexact");
  }
  long array_count(CFRef a) override { return static_cast<long>(obj(a).items.size()); }
  CFRef array_at(CFRef a, long i) override { return obj(a).items.at(static_cast<size_t>(i)); }
  bool equal(CFRef a, CFRef b) override { return obj(a).text == obj(b).text; }
  CFRef string_create(std::string_view s) override {
    return fails(std::string(s)) ? nullptr : add({std::string(s), 0, {}, {}, 1, true});
  }
  std::string string_utf8(CFRef s) override { return obj(s).text; }
  CFRef retain(CFRef o) override { return ++obj(o).refs, o; }
  void release(CFRef o) override { EXPECT_GE(--obj(o).refs, 0) << "released once too often"; }
  void* open_library(const char* path, int mode) override {
    EXPECT_EQ(std::tuple(std::string(path), mode), std::tuple("/usr/lib/libIOReport.dylib", 2));
    return fails("library") ? nullptr : this;
  }
  void* find_symbol(void*, const char* name) override {
    static const std::map<std::string, void*> table = {
        {"IOReportCopyChannelsInGroup", reinterpret_cast<void*>(&copy_channels_in_group)},
        {"IOReportCreateSubscription", reinterpret_cast<void*>(&create_subscription)},
        {"IOReportCreateSamples", reinterpret_cast<void*>(&create_samples)},
        {"IOReportCreateSamplesDelta", reinterpret_cast<void*>(&create_samples_delta)},
        {"IOReportChannelGetChannelName", reinterpret_cast<void*>(&channel_name)},
        {"IOReportChannelGetUnitLabel", reinterpret_cast<void*>(&unit_label)},
        {"IOReportSimpleGetIntegerValue", reinterpret_cast<void*>(&integer_value)}};
    return fails(name) ? nullptr : table.at(name);
  }
  std::chrono::steady_clock::time_point now() override { return clock; }

 private:
  static inline FakeMac* active = nullptr;
  static CFRef entry(CFRef d, const std::string& key) {
    auto it = obj(d).entries.find(key);
    return it == obj(d).entries.end() ? nullptr : it->second;
  }
  static CFRef channel_name(CFRef channel) { return channel; }
  static CFRef unit_label(CFRef channel) { return entry(channel, "unit"); }
  static int64_t integer_value(CFRef channel, int32_t) { return obj(channel).number; }
  static CFRef copy_channels_in_group(CFRef group, CFRef, uint64_t, uint64_t, uint64_t) {
    EXPECT_EQ(obj(group).text, "Energy Model");
    return active->fails("desired") ? nullptr : active->dict({});
  }
  static const void* create_subscription(const void*, CFRef, CFRef* subscribed, uint64_t, CFRef) {
    *subscribed = active->fails("channels") ? nullptr : active->dict({});
    return active->fails("subscription") ? nullptr : active;
  }
  static CFRef create_samples(const void*, CFRef, CFRef) {
    const bool fail = active->fails("samples " + std::to_string(active->samples.size()));
    return active->samples.emplace_back(fail ? nullptr : active->dict({}, true));
  }
  static CFRef create_samples_delta(CFRef older, CFRef newer, CFRef) {
    FakeMac& f = *active;
    f.delta_args.emplace_back(older, newer);
    if (f.fails("delta")) return nullptr;
    return f.dict(f.fails("chans") ? std::map<std::string, CFRef>{}
                                   : std::map<std::string, CFRef>{{"IOReportChannels", f.channels}},
                  true);
  }
};

TEST(MacSampler, EveryPollReadsOrFailsAsThePlatformAnswers) {
  const std::string ne = "assertion `left != right` failed\n  left: 0\n right: 0";
  const std::string null_object = "Attempted to create a NULL object.";
  const Channels first_gpu_only = {
      {"CPU Energy", "J", 9}, {"GPU Energy", "mJ", 500}, {"GPU Energy", "kJ", 7}};
  struct Case {
    std::string fault;  // the one platform call that fails, if any
    bool in_poll;       // the fault is there from the start, or only in the poll
    std::string message;
    Channels channels = {{"GPU Energy", "J", 1}};
    std::chrono::nanoseconds elapsed = 1s;
    float watts = 1;
  };
  for (const Case& c : std::vector<Case>{
           {"", true, "", {{"GPU Energy", "nJ", 500'000'000}}, 500ms},
           {"", true, "", {{"GPU Energy", "uJ", 500'000}}, 500ms},
           {"", true, "", {{"GPU Energy", "\xC2\xB5J", 500'000}}, 500ms},
           {"", true, "", {{"GPU Energy", "mJ", 300}}, 250ms, 1.2f},
           {"", true, "", {{"GPU Energy", "J", 7}}, 1'750'000'000ns, 4},
           {"", true, "", {{"GPU Energy", "J", 1000}}, 0ns, 0},  // no time elapsed
           {"", true, "", {{"CPU Energy", "J", 9}}, 1s, 0},
           {"", true, "", first_gpu_only, 1s, 0.5f},
           {"matching", false, "assertion `left == right` failed\n  left: 5\n right: 0"},
           {"iterator", false, ne},
           {"service", false, ne},
           {"library", false, "assertion failed: !lib.is_null()"},
           {"IOReportCreateSamplesDelta", false,
            "missing IOReport symbol: \"IOReportCreateSamplesDelta\""},
           {"Energy Model", false, null_object},
           {"In use system memory", false, null_object},
           {"desired", false, "assertion failed: !desired.is_null()"},
           {"subscription", false, "assertion failed: !subscription.is_null()"},
           {"channels", false, "assertion failed: !channels.is_null()"},
           {"samples 0", false, "assertion failed: !prev.is_null()"},
           {"properties", true, "assertion `left == right` failed\n  left: -536870206\n right: 0"},
           {"perf", true, "assertion failed: !perf.is_null()"},
           {"inexact", true, "assertion failed: ok"},
           {"samples 2", true, "assertion failed: !current.is_null()"},
           {"delta", true, "assertion failed: !delta.is_null()"},
           {"chans", true, "assertion failed: !chans.is_null()"},
           {"", true, null_object, {{"GPU Energy", nullptr, 1}}},
           {"", true, "unexpected IOReport energy unit: kJ", {{"GPU Energy", "kJ", 1}}},
       }) {
    SCOPED_TRACE(c.fault + ": " + c.message);
    FakeMac fake;
    if (!c.in_poll) fake.faults = {c.fault};
    EXPECT_EQ(panic_message([&] {
                mac::Sampler s(fake);
                fake.clock += 1s;  // no energy channel: power 0, but the baseline moves
                EXPECT_EQ(fields(s.poll()), std::tuple(3'000'000'123, 42.f, 17.f, 0.f));
                fake.faults = {c.fault};
                fake.energy(c.channels);
                fake.clock += c.elapsed;
                const GpuReading r = s.poll();
                EXPECT_EQ(std::tuple(r.util, r.gpu_sm, r.mem_bytes),
                          std::tuple(42, 17, 3'000'000'123));
                EXPECT_FLOAT_EQ(r.power_w, c.watts);  // over the time since the last poll only
                EXPECT_EQ(fake.live_strings(), 6u);   // "Energy Model" is released at once
              }),
              c.message);
    if (!c.message.empty()) continue;
    EXPECT_EQ(std::tuple(fake.io_released, fake.properties_of),
              std::tuple(std::vector<IoObject>{5}, 11u));  // the first accelerator
    const auto& s = fake.samples;
    EXPECT_EQ(fake.delta_args, (decltype(fake.delta_args){{s[0], s[1]}, {s[1], s[2]}}));
    // The sampler released what it owned, but the last sample, which outlives it, and
    // nothing else: a label it retained it released once.
    for (const FakeMac::Obj& o : fake.objects) EXPECT_EQ(o.refs, o.owned && &o != s[2] ? 0 : 1);
  }
}

std::vector<std::string> warnings;

TEST(MacSampler, AMissingKeyReadsZeroAndWarnsOncePerProcess) {
  WARNED.store(false);
  log::Sink before =
      log::set_sink([](log::Level level, std::string_view target, std::string_view message) {
        if (level == log::Level::Warn) warnings.push_back(std::string(target) + ": " += message);
      });
  FakeMac fake;
  mac::Sampler s(fake);
  fake.perf = {{"Device Utilization %", 50}, {"In use system memory", 8}};
  EXPECT_EQ(fields(s.poll()), std::tuple(8, 50.f, 0.f, 0.f));
  fake.perf = {{"In use system memory", 9}};
  EXPECT_EQ(fields(s.poll()), std::tuple(9, 0.f, 0.f, 0.f));
  FakeMac other;
  other.perf = {};
  mac::Sampler(other).poll();  // another sampler in the process stays silent too
  log::set_sink(before);
  EXPECT_EQ(warnings, std::vector<std::string>{"zel::gpu::mac: IOAccelerator PerformanceStatistics "
                                               "missing Renderer Utilization %"});
}

// What the fake NVML functions answer, and what the sampler asked of them.
struct FakeNvml {
  std::map<std::string, Return> rc;  // by function: its answer, when not success
  int shutdowns = 0, power_calls = 0, live_samples = 0;
  std::string device;                              // the index or UUID asked for
  std::vector<std::pair<void*, void*>> gpm_pairs;  // (sample1, sample2) of each query
  Return of(const char* call) { return rc.count(call) ? rc[call] : kSuccess; }
} state;
Device the_device = reinterpret_cast<Device>(&state);

// A driver that reports 37 % utilisation, 123.456 W, 3 GB in use and 55.5 % SM activity;
// without performance monitoring when rc has "no gpm".
Api fake_api() {
  Api a{};
  a.init = [] { return state.of("init"); };
  a.shutdown = [] { return ++state.shutdowns, kSuccess; };
  a.error_string = [](Return rc) {
    static const std::map<Return, const char*> text = {
        {2, "Invalid Argument"}, {9, "Driver Not Loaded"}, {13, "Not Found"}, {15, "GPU is lost"}};
    return text.count(rc) ? text.at(rc) : "Unknown Error";
  };
  a.device_by_index = [](unsigned i, Device* d) {
    return state.device = std::to_string(i), *d = the_device, state.of("by_index");
  };
  a.device_by_uuid = [](const char* uuid, Device* d) {
    return state.device = uuid, *d = the_device, state.of("by_uuid");
  };
  a.utilization_rates = [](Device d, Utilization* u) {
    EXPECT_EQ(d, the_device);
    return *u = {37, 99}, state.of("util");
  };
  a.power_usage = [](Device, unsigned* mw) {
    return ++state.power_calls, *mw = 123'456, state.of("power");
  };
  a.memory_info = [](Device, Memory* m) {
    return *m = {16'000'000'000, 13'000'000'000, 3'000'000'000}, state.of("memory");
  };
  if (state.rc.count("no gpm")) return a;
  a.gpm_query_device_support = [](Device, GpmSupport* s) {
    EXPECT_EQ(s->version, 1u);
    return s->is_supported_device = !state.rc.count("unsupported device"), kSuccess;
  };
  a.gpm_sample_alloc = [](GpmSample* s) {
    return s->handle = reinterpret_cast<void*>(uintptr_t{0x100} + ++state.live_samples), kSuccess;
  };
  a.gpm_sample_free = [](GpmSample) { return --state.live_samples, kSuccess; };
  a.gpm_sample_get = [](Device, GpmSample) { return state.of("gpm_get"); };
  a.gpm_metrics_get = [](GpmMetricsGet* q) {
    EXPECT_EQ(std::tuple(q->version, q->num_metrics, q->metrics[0].metric_id),
              std::tuple(1u, 1u, 2u));
    state.gpm_pairs.emplace_back(q->sample1.handle, q->sample2.handle);
    q->metrics[0].nvml_return = state.of("sm metric"), q->metrics[0].value = 55.5;
    return state.of("gpm_metrics");
  };
  return a;
}

TEST(NvmlSampler, PollsReadWhatTheDeviceOffersAndFailuresNameTheCall) {
  const Return no = kErrorNotSupported;
  const GpuReading all = {3'000'000'000, 37, 55.5f, 123.456f},
                   no_sm = {3'000'000'000, 37, 0, 123.456f};
  struct Case {
    std::map<std::string, Return> rc;  // the calls that do not succeed
    bool in_poll;                      // the calls fail from the start, or only in the polls
    const char* devices;               // CUDA_VISIBLE_DEVICES
    GpuReading want = {};
    std::string failed_call = "";  // named in the Panic with NVML's text of rc
  };
  for (const Case& c : std::vector<Case>{
           {{}, false, nullptr, all},
           {{{"power", no}}, false, "1", {3'000'000'000, 37, 55.5f, 0}},
           {{{"util", no}, {"memory", no}}, false, "2,0", {0, 0, 55.5f, 123.456f}},
           {{{"sm metric", no}}, false, "MIG-4f1c2b9e-0000", no_sm},
           {{{"no gpm", 1}}, false, nullptr, no_sm},
           {{{"unsupported device", 1}}, false, nullptr, no_sm},
           {{{"gpm_get", 2}}, false, nullptr, no_sm},  // the first sample failed
           {{{"init", 9}}, false, nullptr, {}, "nvmlInit_v2"},
           {{{"by_index", 2}}, false, "3", {}, "nvmlDeviceGetHandleByIndex_v2(3)"},
           {{{"by_uuid", 13}}, false, "GPU-x", {}, "nvmlDeviceGetHandleByUUID(\"GPU-x\")"},
           {{{"util", 15}}, false, nullptr, {}, "nvmlDeviceGetUtilizationRates"},
           {{{"power", 999}}, true, nullptr, {}, "nvmlDeviceGetPowerUsage"},
           {{{"memory", 15}}, true, nullptr, {}, "nvmlDeviceGetMemoryInfo"},
           {{{"gpm_get", 2}}, true, nullptr, {}, "nvmlGpmSampleGet"},
           {{{"gpm_metrics", 2}}, true, nullptr, {}, "nvmlGpmMetricsGet"}}) {
    const Return rc = c.rc.empty() ? 0 : c.rc.begin()->second;
    const std::string message = c.failed_call.empty()
                                    ? ""
                                    : c.failed_call + " failed: " + fake_api().error_string(rc) +
                                          " (nvml error " + std::to_string(rc) + ")";
    SCOPED_TRACE(message);
    state = {};
    state.rc = c.in_poll ? std::map<std::string, Return>{} : c.rc;
    const Api api = fake_api();
    const DeviceChoice d = parse_visible_devices(c.devices);
    EXPECT_EQ(panic_message([&] {
                nvml::Sampler s(api, d);
                state.rc = c.rc;
                for (int i = 0; i < 2; ++i) EXPECT_EQ(fields(s.poll()), fields(c.want));
              }),
              message);
    EXPECT_EQ(state.shutdowns, c.rc.count("init") ? 0 : 1);  // whenever initialised
    EXPECT_EQ(state.live_samples, 0);
    if (!message.empty()) continue;
    EXPECT_EQ(state.power_calls, c.rc.count("power") ? 1 : 3);  // an offered reading is tried once
    EXPECT_EQ(state.device, d.kind == DeviceChoice::Kind::Uuid ? d.uuid : std::to_string(d.index));
    if (state.gpm_pairs.size() == 2) {  // each poll measures since the previous one
      EXPECT_EQ(state.gpm_pairs[1], std::pair(state.gpm_pairs[0].second, state.gpm_pairs[0].first));
    }
  }
}

TEST(Nvml, LoadingAndTheDeviceCudaCallsZero) {
  EXPECT_FALSE(load("libzel-no-such-library.so.1").has_value());
  EXPECT_EQ(panic_message([] { (void)load("libm.so.6"); }), "missing NVML symbol: \"nvmlInit_v2\"");
  using K = DeviceChoice::Kind;
  for (auto [value, kind, index, uuid] :
       std::vector<std::tuple<const char*, K, unsigned, std::string>>{
           {nullptr, K::Index, 0, ""},
           {"1", K::Index, 1, ""},
           {"2,0", K::Index, 2, ""},
           {" 3 ,1", K::Index, 3, ""},
           {"\t4\t", K::Index, 4, ""},
           {"GPU-8f3a1b2c-aaaa,1", K::Uuid, 0, "GPU-8f3a1b2c-aaaa"},
           {"MIG-1234", K::Uuid, 0, "MIG-1234"},
           {"", K::Hidden, 0, ""},
           {",1", K::Hidden, 0, ""},
           {"-1", K::Hidden, 0, ""},
           {"NoDevFiles", K::Hidden, 0, ""},
           {"1x", K::Hidden, 0, ""}}) {
    const DeviceChoice d = parse_visible_devices(value);
    EXPECT_EQ(std::tuple(d.kind, d.kind == K::Index ? d.index : 0, d.uuid),
              std::tuple(kind, index, uuid))
        << (value ? value : "(unset)");
  }
}

}  // namespace
}  // namespace zel::gpu
