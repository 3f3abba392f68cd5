#include "gpu/gpu_collector.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "gpu/nvml_sampler.h"

namespace zel::gpu {
namespace {

struct Cells {
  float util, sm, power;
  uint64_t mem;
};

Cells cells() {
  return {std::bit_cast<float>(GPU_UTIL_BITS.load()), std::bit_cast<float>(GPU_SM_BITS.load()),
          std::bit_cast<float>(GPU_POWER_BITS.load()), GPU_MEM_BYTES.load()};
}

TEST(Collector, PublishesEachPollAndKeepsTheLastAfterAFailedOne) {
  std::vector<GpuReading> polls = {{1000, 10.5f, 20.25f, 3.5f}, {2000, 11.0f, 21.0f, 4.75f}};
  std::vector<std::string> events;
  size_t next = 0;
  auto poll = [&] {
    events.push_back("poll");
    if (next == polls.size()) panic("poll failed");
    return polls[next++];
  };
  auto sleep = [&] {
    Cells c = cells();
    events.push_back("sleep " + std::to_string(c.mem));
  };
  publish({});
  try {
    run_collector(poll, sleep);
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "poll failed");
  }
  // A sleep comes before every poll, and each poll is published before the next sleep.
  EXPECT_EQ(events, (std::vector<std::string>{"sleep 0", "poll", "sleep 1000", "poll", "sleep 2000",
                                              "poll"}));
  Cells c = cells();
  EXPECT_EQ(c.util, 11.0f);
  EXPECT_EQ(c.sm, 21.0f);
  EXPECT_EQ(c.power, 4.75f);
  EXPECT_EQ(c.mem, 2000u);
  publish({});
}

// Names of this process's threads, from /proc.
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  closedir(dir);
  return names;
}

TEST(Collector, WithoutAnNvidiaDriverEndsQuietlyAndLeavesTheCellsAtZero) {
#ifndef __linux__
  GTEST_SKIP() << "checks the Linux collector";
#endif
  if (void* lib = dlopen(nvml::kLibrary, RTLD_LAZY | RTLD_LOCAL)) {
    dlclose(lib);
    GTEST_SKIP() << "this machine has an NVIDIA driver";
  }
  ::testing::internal::CaptureStderr();
  std::thread other([] { ensure_collector(); });
  ensure_collector();
  other.join();
  std::this_thread::sleep_for(kPollInterval + std::chrono::milliseconds(150));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  Cells c = cells();
  EXPECT_EQ(c.util, 0.0f);
  EXPECT_EQ(c.sm, 0.0f);
  EXPECT_EQ(c.power, 0.0f);
  EXPECT_EQ(c.mem, 0u);
  for (const std::string& name : thread_names()) EXPECT_NE(name, "zel-gpu");
}

}  // namespace
}  // namespace zel::gpu
