// Reads a whole capture into columns in one pass, for tools that want the table at
// once rather than frame by frame. Stops at the last whole frame, like Reader.
//
//   Table t = unwrap(load_table("capture.zel"));
//   double ms = t.value(0, 42);  // column 0 (frame_ms) of frame 42
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "record/stream_reader.h"

namespace zel::record::read {

struct Table {
  std::vector<Column> columns;  // the header's columns, then user columns by id
  size_t system_count = 0;      // how many of `columns` the header declared
  size_t frame_count = 0;
  bool flame_enabled = false;
  // Column-major: column i of frame f is values[i * frame_count + f]. NaN where a
  // frame has no value for a user column.
  std::vector<double> values;
  std::vector<std::pair<uint64_t, Bytes>> flames;  // (frame number, flame bytes)

  double value(size_t column, size_t frame) const { return values[column * frame_count + frame]; }
};

// An unreadable or short file is an IoError; a damaged stream is a Panic.
Result<Table> load_table(const std::string& path);
Result<Table> load_table(Reader reader);

}  // namespace zel::record::read
