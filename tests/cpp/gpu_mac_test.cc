#include "gpu/mac_sampler.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/log.h"
#include "tests/cpp/support.h"

namespace zel::gpu::mac {
namespace {

using namespace std::chrono_literals;
using testing::panic_message;

// IOKit, CoreFoundation and IOReport in memory. Objects live as long as the fake and
// keep a reference count, so a test sees what the sampler released. The IOReport
// functions are plain C functions; they reach the live fake through `active`.
class FakeMac : public Platform {
 public:
  struct Obj {
    std::string text;                      // a string
    int64_t number = 0;                    // a number
    bool exact = true;                     // whether the number converts to int64
    std::map<std::string, CFRef> entries;  // a dictionary, by key text
    std::vector<CFRef> items;              // an array
    int refs = 1;
  };

  // What the calls answer.
  int matching_rc = 0, properties_rc = 0;
  IoObject iterator = 5;
  std::vector<IoObject> services = {11, 12};
  bool library_present = true, desired_null = false, subscription_null = false;
  bool channels_null = false, delta_null = false;
  std::string missing_symbol, failing_string;  // absent symbol; text string_create refuses
  int samples_null_at = -1;                    // this IOReportCreateSamples call (0: first)
  CFRef perf = nullptr;                        // "PerformanceStatistics"; absent when null
  std::deque<CFRef> delta_channels;            // "IOReportChannels" of each delta; null: absent
  std::chrono::steady_clock::time_point clock{};

  // What the sampler did.
  std::vector<std::string> symbols;
  std::vector<IoObject> io_released;
  IoObject properties_of = 0;
  std::vector<CFRef> strings, properties, samples, deltas;  // as created for the sampler
  std::vector<std::pair<CFRef, CFRef>> delta_args;          // (older, newer)

  FakeMac() {
    active = this;
    perf = dict({});
  }
  ~FakeMac() override { active = nullptr; }

  CFRef add(Obj o) { return &objects_.emplace_back(std::move(o)); }
  CFRef str(std::string s) {
    Obj o;
    o.text = std::move(s);
    return add(std::move(o));
  }
  CFRef num(int64_t v, bool exact = true) {
    Obj o;
    o.number = v;
    o.exact = exact;
    return add(std::move(o));
  }
  CFRef dict(std::map<std::string, CFRef> e) {
    Obj o;
    o.entries = std::move(e);
    return add(std::move(o));
  }
  CFRef chan(std::string name, const char* unit, int64_t value) {
    std::map<std::string, CFRef> e = {{"name", str(std::move(name))}, {"value", num(value)}};
    if (unit) e["unit"] = str(unit);
    return dict(std::move(e));
  }
  void delta(std::vector<CFRef> channels) {
    Obj o;
    o.items = std::move(channels);
    delta_channels.push_back(add(std::move(o)));
  }
  void energy(const char* unit, int64_t value) { delta({chan("GPU Energy", unit, value)}); }
  static Obj& obj(CFRef r) { return *static_cast<Obj*>(const_cast<void*>(r)); }
  static int refs(CFRef r) { return obj(r).refs; }

  CFRef service_matching(const char* name) override { return dict({{name, nullptr}}); }
  int get_matching_services(CFRef matching, IoObject* it) override {
    EXPECT_TRUE(obj(matching).entries.count("IOAccelerator"));
    *it = iterator;
    return matching_rc;
  }
  IoObject iterator_next(IoObject) override {
    if (services.empty()) return 0;
    IoObject s = services.front();
    services.erase(services.begin());
    return s;
  }
  void object_release(IoObject o) override { io_released.push_back(o); }
  int create_cf_properties(IoObject entry, CFRef* out) override {
    properties_of = entry;
    *out = properties.emplace_back(perf ? dict({{"PerformanceStatistics", perf}}) : dict({}));
    return properties_rc;
  }
  CFRef dictionary_get_value(CFRef d, CFRef key) override { return entry(d, obj(key).text); }
  bool number_get_i64(CFRef n, int64_t* v) override { return *v = obj(n).number, obj(n).exact; }
  long array_count(CFRef a) override { return static_cast<long>(obj(a).items.size()); }
  CFRef array_at(CFRef a, long i) override { return obj(a).items.at(static_cast<size_t>(i)); }
  bool equal(CFRef a, CFRef b) override { return obj(a).text == obj(b).text; }
  CFRef string_create(std::string_view s) override {
    return s == failing_string ? nullptr : strings.emplace_back(str(std::string(s)));
  }
  std::string string_utf8(CFRef s) override { return obj(s).text; }
  CFRef retain(CFRef o) override { return ++obj(o).refs, o; }
  void release(CFRef o) override {
    if (--obj(o).refs < 0) ADD_FAILURE() << "released once too often";
  }
  void* open_library(const char* path, int mode) override {
    EXPECT_STREQ(path, "/usr/lib/libIOReport.dylib");
    EXPECT_EQ(mode, 2);
    return library_present ? this : nullptr;
  }
  void* find_symbol(void*, const char* name) override {
    static const std::map<std::string, void*> table = {
        {"IOReportCopyChannelsInGroup", reinterpret_cast<void*>(&copy_channels_in_group)},
        {"IOReportCreateSubscription", reinterpret_cast<void*>(&create_subscription)},
        {"IOReportCreateSamples", reinterpret_cast<void*>(&create_samples)},
        {"IOReportCreateSamplesDelta", reinterpret_cast<void*>(&create_samples_delta)},
        {"IOReportChannelGetChannelName", reinterpret_cast<void*>(&channel_name)},
        {"IOReportChannelGetUnitLabel", reinterpret_cast<void*>(&unit_label)},
        {"IOReportSimpleGetIntegerValue", reinterpret_cast<void*>(&integer_value)},
    };
    symbols.push_back(name);
    return name == missing_symbol ? nullptr : table.at(name);
  }
  std::chrono::steady_clock::time_point now() override { return clock; }

 private:
  static inline FakeMac* active = nullptr;

  static CFRef entry(CFRef d, const std::string& key) {
    auto it = obj(d).entries.find(key);
    return it == obj(d).entries.end() ? nullptr : it->second;
  }
  static CFRef channel_name(CFRef channel) { return entry(channel, "name"); }
  static CFRef unit_label(CFRef channel) { return entry(channel, "unit"); }
  static CFRef copy_channels_in_group(CFRef group, CFRef, uint64_t, uint64_t, uint64_t) {
    EXPECT_EQ(obj(group).text, "Energy Model");
    return active->desired_null ? nullptr : active->dict({});
  }
  static const void* create_subscription(const void*, CFRef, CFRef* subscribed, uint64_t, CFRef) {
    *subscribed = active->channels_null ? nullptr : active->dict({});
    return active->subscription_null ? nullptr : active;
  }
  static CFRef create_samples(const void* subscription, CFRef, CFRef) {
    EXPECT_EQ(subscription, active);
    bool fail = static_cast<int>(active->samples.size()) == active->samples_null_at;
    return active->samples.emplace_back(fail ? nullptr : active->add(Obj{}));
  }
  static CFRef create_samples_delta(CFRef older, CFRef newer, CFRef) {
    FakeMac& f = *active;
    f.delta_args.push_back({older, newer});
    if (f.delta_null) return nullptr;
    CFRef chans = f.add(Obj{});
    if (!f.delta_channels.empty()) {
      chans = f.delta_channels.front();
      f.delta_channels.pop_front();
    }
    return f.deltas.emplace_back(chans ? f.dict({{"IOReportChannels", chans}}) : f.dict({}));
  }
  static int64_t integer_value(CFRef channel, int32_t index) {
    EXPECT_EQ(index, 0);
    return obj(entry(channel, "value")).number;
  }

  std::deque<Obj> objects_;
};

TEST(MacSampler, ReadsTheFirstAcceleratorAndLooksUpIOReportInOrder) {
  FakeMac fake;
  fake.perf = fake.dict({{"Device Utilization %", fake.num(42)},
                         {"Renderer Utilization %", fake.num(17)},
                         {"In use system memory", fake.num(3'000'000'123)}});
  Sampler s(fake);
  EXPECT_EQ(fake.symbols, (std::vector<std::string>{
                              "IOReportCopyChannelsInGroup", "IOReportCreateSubscription",
                              "IOReportCreateSamples", "IOReportCreateSamplesDelta",
                              "IOReportChannelGetChannelName", "IOReportChannelGetUnitLabel",
                              "IOReportSimpleGetIntegerValue"}));
  EXPECT_EQ(fake.io_released, std::vector<IoObject>{5});  // the iterator
  GpuReading r = s.poll();
  EXPECT_EQ(fake.properties_of, 11u);
  EXPECT_EQ(r.util, 42.0f);
  EXPECT_EQ(r.gpu_sm, 17.0f);
  EXPECT_EQ(r.mem_bytes, 3'000'000'123);
}

TEST(MacSampler, PowerIsTheFirstGpuEnergyOverTheElapsedSeconds) {
  struct Case {
    const char* name;
    std::function<std::vector<CFRef>(FakeMac&)> channels;
    std::chrono::nanoseconds elapsed;
    float watts;
  };
  auto gpu = [](const char* unit, int64_t v) {
    return [=](FakeMac& f) { return std::vector<CFRef>{f.chan("GPU Energy", unit, v)}; };
  };
  const std::vector<Case> cases = {
      {"nJ", gpu("nJ", 500'000'000), 500ms, 1.0f},
      {"uJ", gpu("uJ", 500'000), 500ms, 1.0f},
      {"micro sign", gpu("\xC2\xB5J", 500'000), 500ms, 1.0f},
      {"mJ", gpu("mJ", 300), 250ms, 1.2f},
      {"J, fractional seconds", gpu("J", 7), 1'750'000'000ns, 4.0f},
      {"no time elapsed", gpu("J", 1000), 0ns, 0.0f},
      {"no GPU channel",
       [](FakeMac& f) { return std::vector<CFRef>{f.chan("CPU Energy", "J", 9)}; }, 1s, 0.0f},
      {"first GPU channel only",
       [](FakeMac& f) {
         return std::vector<CFRef>{f.chan("CPU Energy", "J", 99), f.chan("GPU Energy", "mJ", 500),
                                   f.chan("GPU Energy", "kJ", 7)};
       },
       1s, 0.5f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMac fake;
    Sampler s(fake);
    fake.delta(c.channels(fake));
    fake.clock += c.elapsed;
    EXPECT_FLOAT_EQ(s.poll().power_w, c.watts);
  }
}

TEST(MacSampler, BaselineAdvancesEachPollAndWhatEachPollCreatesIsReleased) {
  FakeMac fake;
  {
    Sampler s(fake);
    fake.delta({});  // no energy channel: power 0, but the baseline still moves
    fake.clock += 1s;
    EXPECT_EQ(s.poll().power_w, 0.0f);
    fake.energy("nJ", 500'000'000);
    fake.clock += 500ms;
    EXPECT_FLOAT_EQ(s.poll().power_w, 1.0f);  // over 0.5 s, not 1.5 s

    ASSERT_EQ(fake.samples.size(), 3u);
    EXPECT_EQ(fake.delta_args,
              (std::vector<std::pair<CFRef, CFRef>>{{fake.samples[0], fake.samples[1]},
                                                    {fake.samples[1], fake.samples[2]}}));
    for (CFRef p : fake.properties) EXPECT_EQ(FakeMac::refs(p), 0);
    for (CFRef d : fake.deltas) EXPECT_EQ(FakeMac::refs(d), 0);
    EXPECT_EQ(FakeMac::refs(fake.samples[0]), 0);
    EXPECT_EQ(FakeMac::refs(fake.samples[1]), 0);
    int live = 0;  // six kept; "Energy Model" released
    for (CFRef str : fake.strings) live += FakeMac::refs(str);
    EXPECT_EQ(live, 6);
  }
  for (CFRef str : fake.strings) EXPECT_EQ(FakeMac::refs(str), 0);
  EXPECT_EQ(FakeMac::refs(fake.samples[2]), 1);  // the last sample outlives the sampler
}

std::vector<std::string> warnings;
void keep_warning(log::Level level, std::string_view target, std::string_view message) {
  if (level == log::Level::Warn) warnings.push_back(std::string(target) + ": " += message);
}

TEST(MacSampler, MissingKeyReadsZeroAndWarnsOncePerProcess) {
  WARNED.store(false);
  warnings.clear();
  log::Sink before = log::set_sink(keep_warning);
  FakeMac fake;
  Sampler s(fake);
  fake.perf =
      fake.dict({{"Device Utilization %", fake.num(50)}, {"In use system memory", fake.num(8)}});
  GpuReading r = s.poll();
  EXPECT_EQ(r.gpu_sm, 0.0f);
  EXPECT_EQ(r.util, 50.0f);
  fake.perf = fake.dict({{"In use system memory", fake.num(9)}});
  r = s.poll();
  EXPECT_EQ(r.util, 0.0f);
  EXPECT_EQ(r.mem_bytes, 9);
  FakeMac other;  // another sampler in the same process stays silent too
  Sampler second(other);
  second.poll();
  log::set_sink(before);
  EXPECT_EQ(warnings, std::vector<std::string>{"zel::gpu::mac: IOAccelerator PerformanceStatistics "
                                               "missing Renderer Utilization %"});
}

TEST(MacSampler, EveryFailedCheckNamesIt) {
  struct Case {
    bool in_poll;
    std::function<void(FakeMac&)> setup;
    std::string message;
  };
  const std::string ne = "assertion `left != right` failed\n  left: 0\n right: 0";
  const std::string null_object = "Attempted to create a NULL object.";
  const std::vector<Case> cases = {
      {false, [](FakeMac& f) { f.matching_rc = 5; },
       "assertion `left == right` failed\n  left: 5\n right: 0"},
      {false, [](FakeMac& f) { f.iterator = 0; }, ne},
      {false, [](FakeMac& f) { f.services.clear(); }, ne},
      {false, [](FakeMac& f) { f.library_present = false; }, "assertion failed: !lib.is_null()"},
      {false, [](FakeMac& f) { f.missing_symbol = "IOReportCreateSamplesDelta"; },
       "missing IOReport symbol: \"IOReportCreateSamplesDelta\""},
      {false, [](FakeMac& f) { f.failing_string = "Energy Model"; }, null_object},
      {false, [](FakeMac& f) { f.failing_string = "In use system memory"; }, null_object},
      {false, [](FakeMac& f) { f.desired_null = true; }, "assertion failed: !desired.is_null()"},
      {false, [](FakeMac& f) { f.subscription_null = true; },
       "assertion failed: !subscription.is_null()"},
      {false, [](FakeMac& f) { f.channels_null = true; }, "assertion failed: !channels.is_null()"},
      {false, [](FakeMac& f) { f.samples_null_at = 0; }, "assertion failed: !prev.is_null()"},
      {true, [](FakeMac& f) { f.properties_rc = -536870206; },
       "assertion `left == right` failed\n  left: -536870206\n right: 0"},
      {true, [](FakeMac& f) { f.perf = nullptr; }, "assertion failed: !perf.is_null()"},
      {true,
       [](FakeMac& f) {
         f.perf = f.dict({{"In use system memory", f.num(1, false)}});
       },
       "assertion failed: ok"},
      {true, [](FakeMac& f) { f.samples_null_at = 1; }, "assertion failed: !current.is_null()"},
      {true, [](FakeMac& f) { f.delta_null = true; }, "assertion failed: !delta.is_null()"},
      {true, [](FakeMac& f) { f.delta_channels.push_back(nullptr); },
       "assertion failed: !chans.is_null()"},
      {true, [](FakeMac& f) { f.energy(nullptr, 1); }, null_object},
      {true, [](FakeMac& f) { f.energy("kJ", 1); }, "unexpected IOReport energy unit: kJ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FakeMac fake;
    if (!c.in_poll) {
      c.setup(fake);
      EXPECT_EQ(panic_message([&] { Sampler s(fake); }), c.message);
    } else {
      Sampler s(fake);
      c.setup(fake);
      EXPECT_EQ(panic_message([&] { s.poll(); }), c.message);
    }
  }
}

}  // namespace
}  // namespace zel::gpu::mac
