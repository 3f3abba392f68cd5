#include "gpu/nvml_sampler.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/cpp/support.h"

namespace zel::gpu::nvml {
namespace {

using testing::panic_message;

// The state behind a fake NVML function table: what each call answers, and what the
// sampler asked for.
struct FakeNvml {
  Return init_rc = kSuccess, by_index_rc = kSuccess, by_uuid_rc = kSuccess;
  Return util_rc = kSuccess, power_rc = kSuccess, memory_rc = kSuccess;
  unsigned int util = 0, power_mw = 0;
  unsigned long long used = 0;
  bool gpm_device = true;
  Return gpm_get_rc = kSuccess, gpm_metrics_rc = kSuccess, sm_metric_rc = kSuccess;
  double sm = 0;

  int inits = 0, shutdowns = 0, power_calls = 0, live_samples = 0;
  unsigned int asked_index = ~0u;
  std::string asked_uuid;
  std::vector<std::pair<void*, void*>> gpm_pairs;  // (sample1, sample2) per metrics query
};

FakeNvml* fake = nullptr;
char device_object;
Device the_device = reinterpret_cast<Device>(&device_object);

const char* error_string(Return rc) {
  switch (rc) {
    case 2: return "Invalid Argument";
    case 9: return "Driver Not Loaded";
    case 13: return "Not Found";
    case 15: return "GPU is lost";
    default: return "Unknown Error";
  }
}

Api fake_api(bool with_gpm = true) {
  Api a{};
  a.init = [] { return ++fake->inits, fake->init_rc; };
  a.shutdown = [] { return ++fake->shutdowns, kSuccess; };
  a.error_string = error_string;
  a.device_by_index = [](unsigned int i, Device* d) {
    fake->asked_index = i;
    *d = the_device;
    return fake->by_index_rc;
  };
  a.device_by_uuid = [](const char* uuid, Device* d) {
    fake->asked_uuid = uuid;
    *d = the_device;
    return fake->by_uuid_rc;
  };
  a.utilization_rates = [](Device d, Utilization* u) {
    EXPECT_EQ(d, the_device);
    u->gpu = fake->util;
    u->memory = 99;
    return fake->util_rc;
  };
  a.power_usage = [](Device, unsigned int* mw) {
    ++fake->power_calls;
    *mw = fake->power_mw;
    return fake->power_rc;
  };
  a.memory_info = [](Device, Memory* m) {
    *m = {16'000'000'000ull, 16'000'000'000ull - fake->used, fake->used};
    return fake->memory_rc;
  };
  if (!with_gpm) return a;
  a.gpm_query_device_support = [](Device, GpmSupport* s) {
    EXPECT_EQ(s->version, 1u);
    s->is_supported_device = fake->gpm_device;
    return kSuccess;
  };
  a.gpm_sample_alloc = [](GpmSample* s) {
    s->handle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x100 + ++fake->live_samples));
    return kSuccess;
  };
  a.gpm_sample_free = [](GpmSample) { return --fake->live_samples, kSuccess; };
  a.gpm_sample_get = [](Device, GpmSample) { return fake->gpm_get_rc; };
  a.gpm_metrics_get = [](GpmMetricsGet* q) {
    EXPECT_EQ(q->version, 1u);
    EXPECT_EQ(q->num_metrics, 1u);
    EXPECT_EQ(q->metrics[0].metric_id, 2u);
    fake->gpm_pairs.push_back({q->sample1.handle, q->sample2.handle});
    q->metrics[0].nvml_return = fake->sm_metric_rc;
    q->metrics[0].value = fake->sm;
    return fake->gpm_metrics_rc;
  };
  return a;
}

class NvmlSampler : public ::testing::Test {
 protected:
  void SetUp() override { fake = &state; }
  void TearDown() override { fake = nullptr; }
  FakeNvml state;
  Api api = fake_api();
};

TEST_F(NvmlSampler, ReadsTheDeviceCudaCallsZero) {
  state.util = 37;
  state.power_mw = 123'456;
  state.used = 3'000'000'000ull;
  state.sm = 55.5;
  {
    Sampler s(api, DeviceChoice{});
    GpuReading r = s.poll();
    EXPECT_EQ(r.util, 37.0f);
    EXPECT_FLOAT_EQ(r.power_w, 123.456f);
    EXPECT_EQ(r.mem_bytes, 3'000'000'000);
    EXPECT_EQ(r.gpu_sm, 55.5f);
    s.poll();
    // Each poll measures SM activity since the previous one.
    ASSERT_EQ(state.gpm_pairs.size(), 2u);
    EXPECT_EQ(state.gpm_pairs[1].first, state.gpm_pairs[0].second);
    EXPECT_EQ(state.gpm_pairs[1].second, state.gpm_pairs[0].first);
    EXPECT_EQ(state.asked_index, 0u);
    state.sm_metric_rc = kErrorNotSupported;  // NVML could not compute it this time
    EXPECT_EQ(s.poll().gpu_sm, 0.0f);
  }
  EXPECT_EQ(state.live_samples, 0);
  EXPECT_EQ(state.shutdowns, state.inits);

  Sampler by_index(api, parse_visible_devices("2,0"));
  EXPECT_EQ(state.asked_index, 2u);
  Sampler by_uuid(api, parse_visible_devices("MIG-4f1c2b9e-0000-1111-2222-333344445555"));
  EXPECT_EQ(state.asked_uuid, "MIG-4f1c2b9e-0000-1111-2222-333344445555");
}

TEST_F(NvmlSampler, UnsupportedReadingsReadZero) {
  state.util = 10;
  state.power_mw = 5'000;
  state.sm = 40;
  state.power_rc = kErrorNotSupported;
  state.gpm_device = false;
  Sampler s(api, DeviceChoice{});
  GpuReading r = s.poll();
  EXPECT_EQ(r.util, 10.0f);
  EXPECT_EQ(r.power_w, 0.0f);
  EXPECT_EQ(r.gpu_sm, 0.0f);
  EXPECT_EQ(state.power_calls, 1);  // tried once, then left out
  EXPECT_EQ(state.live_samples, 0);

  // A driver without performance monitoring; and a device whose first sample fails.
  for (bool with_gpm : {false, true}) {
    FakeNvml other;
    other.sm = 40;
    other.gpm_get_rc = 2;
    fake = &other;
    Api a = fake_api(with_gpm);
    Sampler s2(a, DeviceChoice{});
    EXPECT_EQ(s2.poll().gpu_sm, 0.0f);
    EXPECT_EQ(other.live_samples, 0);
  }
  fake = &state;
}

TEST_F(NvmlSampler, FailuresNameTheCallAndNvmlsText) {
  struct Case {
    bool in_poll;
    DeviceChoice device;
    std::function<void(FakeNvml&)> setup;
    std::string message;
  };
  const DeviceChoice first;  // named: a braced {} here trips gcc's uninitialised-use check
  DeviceChoice index3{DeviceChoice::Kind::Index, 3, ""};
  DeviceChoice uuid{DeviceChoice::Kind::Uuid, 0, "GPU-x"};
  const std::vector<Case> cases = {
      {false, first, [](FakeNvml& f) { f.init_rc = 9; },
       "nvmlInit_v2 failed: Driver Not Loaded (nvml error 9)"},
      {false, index3, [](FakeNvml& f) { f.by_index_rc = 2; },
       "nvmlDeviceGetHandleByIndex_v2(3) failed: Invalid Argument (nvml error 2)"},
      {false, uuid, [](FakeNvml& f) { f.by_uuid_rc = 13; },
       "nvmlDeviceGetHandleByUUID(\"GPU-x\") failed: Not Found (nvml error 13)"},
      {false, first, [](FakeNvml& f) { f.util_rc = 15; },
       "nvmlDeviceGetUtilizationRates failed: GPU is lost (nvml error 15)"},
      {true, first, [](FakeNvml& f) { f.power_rc = 999; },
       "nvmlDeviceGetPowerUsage failed: Unknown Error (nvml error 999)"},
      {true, first, [](FakeNvml& f) { f.memory_rc = 15; },
       "nvmlDeviceGetMemoryInfo failed: GPU is lost (nvml error 15)"},
      {true, first, [](FakeNvml& f) { f.gpm_metrics_rc = 2; },
       "nvmlGpmMetricsGet failed: Invalid Argument (nvml error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FakeNvml f;
    fake = &f;
    if (!c.in_poll) {
      c.setup(f);
      EXPECT_EQ(panic_message([&] { Sampler s(api, c.device); }), c.message);
    } else {
      Sampler s(api, c.device);
      c.setup(f);
      EXPECT_EQ(panic_message([&] { s.poll(); }), c.message);
    }
    // NVML is shut down whenever it was initialised.
    EXPECT_EQ(f.shutdowns, f.init_rc == kSuccess ? 1 : 0);
  }
}

TEST(NvmlLoad, AbsentLibraryIsNothingAndAForeignOneIsRefused) {
  EXPECT_FALSE(load("libzel-no-such-library.so.1").has_value());
  EXPECT_EQ(panic_message([] { (void)load("libm.so.6"); }), "missing NVML symbol: \"nvmlInit_v2\"");
}

TEST(NvmlVisibleDevices, FirstEntryNamesTheDevice) {
  using K = DeviceChoice::Kind;
  struct Case {
    const char* value;
    K kind;
    unsigned int index;
    std::string uuid;
  };
  for (const Case& c : std::vector<Case>{
           {nullptr, K::Index, 0, ""},
           {"1", K::Index, 1, ""},
           {"2,0", K::Index, 2, ""},
           {" 3 ,1", K::Index, 3, ""},
           {"GPU-8f3a1b2c-aaaa-bbbb-cccc-0123456789ab,1", K::Uuid, 0,
            "GPU-8f3a1b2c-aaaa-bbbb-cccc-0123456789ab"},
           {"MIG-1234", K::Uuid, 0, "MIG-1234"},
           {"", K::Hidden, 0, ""},
           {"-1", K::Hidden, 0, ""},
           {"NoDevFiles", K::Hidden, 0, ""},
           {"1x", K::Hidden, 0, ""},
       }) {
    SCOPED_TRACE(c.value ? c.value : "(unset)");
    DeviceChoice d = parse_visible_devices(c.value);
    EXPECT_EQ(d.kind, c.kind);
    if (c.kind == K::Index) {
      EXPECT_EQ(d.index, c.index);
    }
    EXPECT_EQ(d.uuid, c.uuid);
  }
}

}  // namespace
}  // namespace zel::gpu::nvml
