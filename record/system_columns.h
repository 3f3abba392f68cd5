// The eight system metric columns of every frame record: the raw readings of one frame
// (`SystemSample`), the column table that names them and turns them into values.
//
//   std::optional<steady_clock::time_point> previous;   // frame state, empty when armed
//   SystemSample s = build_sample(previous);             // at each frame mark
//   std::array<double, 8> values = column_values(s);
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "record/stream_format.h"

namespace zel::system {

// One frame's raw readings; a reading that is not available is 0.
struct SystemSample {
  uint64_t frame_ns = 0;  // since the previous frame mark, 0 at the first
  double memory_mb = 0;   // resident size / 1 000 000
  uint64_t io_ns = 0;     // taken from io_acc::IO_NS
  uint64_t io_bytes = 0;  // taken from io_acc::IO_BYTES
  float gpu_util = 0;     // percent
  float gpu_sm = 0;       // percent
  float gpu_power = 0;    // watts
  uint64_t gpu_mem_bytes = 0;
};

// Every "MB" is decimal: integers are widened to double, then divided by 1 000 000.
inline double frame_ms_of(const SystemSample& s) {
  return static_cast<double>(s.frame_ns) / 1'000'000.0;
}
inline double memory_mb_of(const SystemSample& s) {
  return s.memory_mb;
}
inline double io_ms_of(const SystemSample& s) {
  return static_cast<double>(s.io_ns) / 1'000'000.0;
}
inline double io_mb_of(const SystemSample& s) {
  return static_cast<double>(s.io_bytes) / 1'000'000.0;
}
inline double gpu_util_of(const SystemSample& s) {
  return s.gpu_util;
}
inline double gpu_sm_of(const SystemSample& s) {
  return s.gpu_sm;
}
inline double gpu_power_of(const SystemSample& s) {
  return s.gpu_power;
}
inline double gpu_mem_of(const SystemSample& s) {
  return static_cast<double>(s.gpu_mem_bytes) / 1'000'000.0;
}

struct SystemColumn {
  std::string_view name;  // written to the stream
  std::string_view unit;  // written to the stream
  double (*extract)(const SystemSample&);
  std::string_view description;  // documentation only; never written or exported
};

inline constexpr size_t kSystemColumnCount = 8;

// The order is the order of the columns in the stream header (ids 0 to 7) and of the
// values in every frame record.
inline constexpr std::array<SystemColumn, kSystemColumnCount> SYSTEM_COLUMNS = {{
    {"frame_ms", "ms", frame_ms_of, "Wall time between displayed frames. 1000 / frame_ms = FPS."},
    {"memory_mb", "MB", memory_mb_of, "Resident memory of this process."},
    {"io_ms", "ms", io_ms_of, "Wall time spent in I/O this frame, as reported via record_io."},
    {"io_MB", "MB", io_mb_of, "Bytes transferred this frame, via record_io."},
    {"gpu_util", "%", gpu_util_of, "Overall GPU utilization (0-100%)."},
    {"gpu_sm", "%", gpu_sm_of, "Shader / renderer-core utilization (0-100%)."},
    {"gpu_power", "W", gpu_power_of, "Instantaneous GPU power draw."},
    {"gpu_mem", "MB", gpu_mem_of, "GPU memory in use (unified memory on macOS)."},
}};

// The name and unit of each row, in table order: the stream header's first columns.
std::vector<record::format::Column> header_columns();

// The resident size of this process in bytes, or nothing when the system will not say.
// Asked anew at every call. On Linux the statistics file is opened once and kept.
std::optional<uint64_t> memory_stats();

// Frames marked closer together than this share one resident-memory reading.
inline constexpr std::chrono::milliseconds kMemoryReuse{1};

// Builds one frame's sample: the frame time since `*previous` (0 when empty), which
// then becomes `now`; the resident memory (read anew unless the last reading is less
// than kMemoryReuse older than `now`); the I/O counters, taken and reset; the GPU
// cells as the collector last left them. The caller serialises calls that share
// `previous` (the recorder's frame-state lock).
SystemSample build_sample(std::optional<std::chrono::steady_clock::time_point>& previous,
                          std::chrono::steady_clock::time_point now);
inline SystemSample build_sample(std::optional<std::chrono::steady_clock::time_point>& previous) {
  return build_sample(previous, std::chrono::steady_clock::now());
}

// The eight column values of `s`, by the table's extractors in table order.
std::array<double, kSystemColumnCount> column_values(const SystemSample& s);

}  // namespace zel::system
