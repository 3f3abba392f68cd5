// Reads a whole capture into columns in one pass, for tools that want the table at
// once rather than frame by frame. Stops at the last whole frame, like Reader, or at
// the first damaged record, keeping every frame before it.
//
//   Table t = unwrap(load_table("capture.zel"));
//   double ms = t.system[0][42];  // column 0 (frame_ms) of frame 42
//   if (t.damage) warn(t.damage->offset, t.damage->frames);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "record/stream_reader.h"

namespace zel::record::read {

// A user column holds only the values recorded, so that a capture with a new name
// per frame costs what its values cost, not frames x names.
struct SparseColumn {
  std::vector<int64_t> frames;  // ascending frame numbers
  std::vector<double> values;   // the value recorded in each of them
};

// Where a capture stops being readable: the damaged record's byte offset, how many
// whole frames come before it, and what is wrong with it.
struct Damage {
  uint64_t offset = 0;
  uint64_t frames = 0;
  std::string message;
};

struct Table {
  std::vector<Column> columns;  // the header's columns, then user columns by id
  size_t system_count = 0;      // how many of `columns` the header declared
  size_t frame_count = 0;
  bool flame_enabled = false;
  std::vector<std::vector<double>> system;  // system[i][f]: column i of frame f
  std::vector<SparseColumn> user;           // user[k]: column system_count + k
  // (frame number, flame bytes) for each profiler frame the first time a record
  // carries it. A record that carries a flame frame seen before (the recorder attaches
  // the newest one again to a frame without scopes) only counts in repeated_flames.
  std::vector<std::pair<uint64_t, Bytes>> flames;
  uint64_t repeated_flames = 0;
  std::optional<Damage> damage;
};

// An unreadable or short file is an IoError; a damaged header is a Panic. Damage after
// the header ends the table there and is described in Table::damage.
Result<Table> load_table(const std::string& path);
Result<Table> load_table(Reader reader);

}  // namespace zel::record::read
