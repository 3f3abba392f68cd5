#include "record/system_columns.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "gpu/gpu_collector.h"
#include "record/io_acc.h"
#include "tests/cpp/support.h"

namespace zel::system {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SystemColumns, HeaderListsTheEightColumnsInOrder) {
  EXPECT_EQ(header_columns(), testing::system_header().columns);
  for (const SystemColumn& c : SYSTEM_COLUMNS) EXPECT_FALSE(c.description.empty()) << c.name;
}

TEST(SystemColumns, ExtractorsConvertToDecimalUnits) {
  SystemSample s;
  s.frame_ns = 16'600'000;
  s.memory_mb = 2.5;
  s.io_ns = 1'500'000;
  s.io_bytes = 2'500'000;
  s.gpu_util = 12.5f;
  s.gpu_sm = 99.75f;
  s.gpu_power = 0.1f;
  s.gpu_mem_bytes = 3'000'000;
  std::array<double, 8> v = column_values(s);
  EXPECT_EQ(v, (std::array<double, 8>{16.6, 2.5, 1.5, 2.5, 12.5, 99.75, double(0.1f), 3.0}));
  EXPECT_EQ(column_values(SystemSample{}), (std::array<double, 8>{}));
}

TEST(SystemSample, FrameTimeIsTheDistanceBetweenConsecutiveMarks) {
  std::optional<Clock::time_point> previous;
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(frame_ms_of(build_sample(previous, t0)), 0.0);
  EXPECT_EQ(previous, t0);
  EXPECT_EQ(build_sample(previous, t0 + 16'600'000ns).frame_ns, 16'600'000u);
  EXPECT_EQ(build_sample(previous, t0 + 20ms).frame_ns, 3'400'000u);
  EXPECT_EQ(previous, t0 + 20ms);
}

TEST(SystemSample, TakesTheIoCountersAndTheGpuCells) {
  io_acc::IO_NS.store(4'000'000);
  io_acc::IO_BYTES.store(2'500'000);
  gpu::publish({3'000'000, 40.5f, 30.25f, 7.5f});
  std::optional<Clock::time_point> previous;
  SystemSample s = build_sample(previous);
  std::array<double, 8> v = column_values(s);
  EXPECT_EQ(v[2], 4.0);
  EXPECT_EQ(v[3], 2.5);
  EXPECT_EQ(v[4], 40.5);
  EXPECT_EQ(v[5], 30.25);
  EXPECT_EQ(v[6], 7.5);
  EXPECT_EQ(v[7], 3.0);
  SystemSample next = build_sample(previous);
  EXPECT_EQ(next.io_ns, 0u);
  EXPECT_EQ(next.io_bytes, 0u);
  EXPECT_EQ(next.gpu_util, 40.5f);  // the cells are read, not taken
  gpu::publish({});
}

// VmRSS of /proc/self/status, in bytes.
uint64_t vm_rss() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

TEST(MemoryStats, ReadsTheResidentSize) {
#ifndef __linux__
  GTEST_SKIP() << "compares with Linux's own figure";
#endif
  std::optional<uint64_t> before = memory_stats();
  ASSERT_TRUE(before.has_value());
  EXPECT_NEAR(static_cast<double>(*before), static_cast<double>(vm_rss()), 1e6);

  // Touching 64 MB shows at the next reading: the file is read anew each time.
  std::vector<char> block(64 << 20);
  for (size_t i = 0; i < block.size(); i += 4096) block[i] = 1;
  std::optional<uint64_t> after = memory_stats();
  ASSERT_TRUE(after.has_value());
  EXPECT_GE(*after, *before + (60u << 20));
  EXPECT_NEAR(static_cast<double>(*after), static_cast<double>(vm_rss()), 1e6);

  // A frame within kMemoryReuse of the last reading repeats it; a later one reads anew.
  std::optional<Clock::time_point> previous;
  const Clock::time_point t0 = Clock::now();
  double mb = build_sample(previous, t0).memory_mb;
  EXPECT_NEAR(mb, static_cast<double>(*after) / 1e6, 1.0);
  std::vector<char> more(64 << 20);
  for (size_t i = 0; i < more.size(); i += 4096) more[i] = 1;
  EXPECT_EQ(build_sample(previous, t0 + kMemoryReuse / 2).memory_mb, mb);
  EXPECT_GT(build_sample(previous, t0 + kMemoryReuse).memory_mb, mb + 60);
  EXPECT_EQ(block[4096] + more[4096], 2);
}

}  // namespace
}  // namespace zel::system
