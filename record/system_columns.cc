#include "record/system_columns.h"

#include <bit>

#include "gpu/gpu_collector.h"
#include "record/io_acc.h"

#if defined(__APPLE__)
#include <mach/mach.h>
#elif defined(__linux__)
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#endif

namespace zel::system {

std::vector<record::format::Column> header_columns() {
  std::vector<record::format::Column> out;
  out.reserve(SYSTEM_COLUMNS.size());
  for (const SystemColumn& c : SYSTEM_COLUMNS)
    out.push_back({std::string(c.name), std::string(c.unit)});
  return out;
}

#if defined(__APPLE__)

std::optional<uint64_t> memory_stats() {
  mach_task_basic_info_data_t info;
  mach_msg_type_number_t count = MACH_TASK_BASIC_INFO_COUNT;
  if (task_info(mach_task_self(), MACH_TASK_BASIC_INFO, reinterpret_cast<task_info_t>(&info),
                &count) != KERN_SUCCESS)
    return std::nullopt;
  return info.resident_size;
}

#elif defined(__linux__)

namespace {

// /proc/self/statm, opened on first use and kept, so that a reading costs one pread.
// -1 while not open. A forked child drops the parent's descriptor, which would
// describe the parent, and opens its own.
std::atomic<int> statm_fd{-1};

void forget_statm_in_child() {
  int fd = statm_fd.exchange(-1);
  if (fd >= 0) close(fd);
}

int statm() {
  int fd = statm_fd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  static const bool registered = pthread_atfork(nullptr, nullptr, forget_statm_in_child) == 0;
  (void)registered;
  fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;  // tried again at the next call
  int expected = -1;
  if (!statm_fd.compare_exchange_strong(expected, fd)) {
    close(fd);  // another thread opened it first
    return expected;
  }
  return fd;
}

}  // namespace

// statm holds "size resident shared text lib data dt", in pages.
std::optional<uint64_t> memory_stats() {
  static const long page_size = sysconf(_SC_PAGESIZE);
  int fd = statm();
  if (fd < 0) return std::nullopt;
  char buf[128];
  ssize_t n = pread(fd, buf, sizeof buf, 0);
  if (n <= 0) return std::nullopt;
  const char* end = buf + n;
  const char* p = buf;
  uint64_t size = 0, resident = 0;
  auto r = std::from_chars(p, end, size);
  if (r.ec != std::errc() || r.ptr == end || *r.ptr != ' ') return std::nullopt;
  r = std::from_chars(r.ptr + 1, end, resident);
  if (r.ec != std::errc()) return std::nullopt;
  return resident * static_cast<uint64_t>(page_size);
}

#else

std::optional<uint64_t> memory_stats() {
  return std::nullopt;
}

#endif

namespace {

// The resident size in MB at `now`. Asking the kernel costs close to a microsecond, as
// much as the rest of a frame mark, so a frame marked within kMemoryReuse of the last
// reading repeats it: only loops far faster than any display rate ever notice.
double resident_mb(std::chrono::steady_clock::time_point now) {
  static std::atomic<int64_t> read_at{INT64_MIN};
  static std::atomic<double> last_mb{0.0};
  const int64_t t = now.time_since_epoch().count();
  const int64_t at = read_at.load(std::memory_order_relaxed);
  const int64_t reuse = std::chrono::nanoseconds(kMemoryReuse).count();
  if (at != INT64_MIN && t >= at && t - at < reuse) return last_mb.load(std::memory_order_relaxed);
  std::optional<uint64_t> rss = memory_stats();
  const double mb = rss ? static_cast<double>(*rss) / 1'000'000.0 : 0.0;
  last_mb.store(mb, std::memory_order_relaxed);
  read_at.store(t, std::memory_order_relaxed);
  return mb;
}

}  // namespace

SystemSample build_sample(std::optional<std::chrono::steady_clock::time_point>& previous,
                          std::chrono::steady_clock::time_point now) {
  SystemSample s;
  if (previous) {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - *previous);
    s.frame_ns = static_cast<uint64_t>(elapsed.count());
  }
  previous = now;

  s.memory_mb = resident_mb(now);

  io_acc::Taken io = io_acc::take();
  s.io_ns = io.ns;
  s.io_bytes = io.bytes;

  s.gpu_util = std::bit_cast<float>(gpu::GPU_UTIL_BITS.load(std::memory_order_relaxed));
  s.gpu_sm = std::bit_cast<float>(gpu::GPU_SM_BITS.load(std::memory_order_relaxed));
  s.gpu_power = std::bit_cast<float>(gpu::GPU_POWER_BITS.load(std::memory_order_relaxed));
  s.gpu_mem_bytes = gpu::GPU_MEM_BYTES.load(std::memory_order_relaxed);
  return s;
}

std::array<double, kSystemColumnCount> column_values(const SystemSample& s) {
  std::array<double, kSystemColumnCount> out;
  for (size_t i = 0; i < kSystemColumnCount; ++i) out[i] = SYSTEM_COLUMNS[i].extract(s);
  return out;
}

}  // namespace zel::system
