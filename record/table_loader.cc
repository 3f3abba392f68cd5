#include "record/table_loader.h"

#include <unordered_set>

#include "profiler/flame_format.h"

namespace zel::record::read {

namespace {

// True the first time a flame frame's profiler index is met. A flame frame whose meta
// does not parse is kept: decoding it later says what is wrong with it.
bool first_sighting(const Bytes& flame, std::unordered_set<uint64_t>& seen) {
  try {
    return seen.insert(profiler::flame_frame_index(flame)).second;
  } catch (const Panic&) {
    return true;
  }
}

}  // namespace

Result<Table> load_table(const std::string& path) {
  auto reader = Reader::open(path);
  if (!reader) return reader.error();
  return load_table(reader.take());
}

Result<Table> load_table(Reader reader) {
  Table t;
  t.system_count = reader.columns().size();
  t.flame_enabled = reader.flame_enabled();
  t.system.resize(t.system_count);
  std::unordered_set<uint64_t> seen;
  for (;;) {
    std::optional<format::Record> next;
    try {
      auto got = reader.next_record();
      if (!got) return got.error();
      next = std::move(got.value());
    } catch (const Panic& e) {
      t.damage = Damage{reader.offset(), t.frame_count, e.brief()};
      break;
    }
    if (!next) break;
    const auto frame = static_cast<int64_t>(t.frame_count++);
    for (size_t i = 0; i < t.system_count; ++i) t.system[i].push_back(next->system[i]);
    for (const auto& [id, value] : next->user) {
      const size_t k = id - t.system_count;  // the reader checked the id was declared
      if (k >= t.user.size()) t.user.resize(k + 1);
      SparseColumn& column = t.user[k];
      if (!column.frames.empty() && column.frames.back() == frame) {
        column.values.back() = value;  // the same column twice in a record: the last holds
        continue;
      }
      column.frames.push_back(frame);
      column.values.push_back(value);
    }
    if (next->flame) {
      if (first_sighting(*next->flame, seen)) {
        t.flames.emplace_back(frame, std::move(*next->flame));
      } else {
        ++t.repeated_flames;
      }
    }
  }
  t.columns = reader.columns();
  t.columns.insert(t.columns.end(), reader.user_columns().begin(), reader.user_columns().end());
  t.user.resize(t.columns.size() - t.system_count);
  return t;
}

}  // namespace zel::record::read
