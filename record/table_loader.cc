#include "record/table_loader.h"

#include <limits>

namespace zel::record::read {

Result<Table> load_table(const std::string& path) {
  auto reader = Reader::open(path);
  if (!reader) return reader.error();
  return load_table(reader.take());
}

Result<Table> load_table(Reader reader) {
  Table t;
  t.system_count = reader.columns().size();
  t.flame_enabled = reader.flame_enabled();
  const size_t c = t.system_count;

  // Rows first (system values frame by frame, user values as they come), since the
  // number of frames and of user columns is known only at the end.
  std::vector<double> system;
  struct UserValue {
    uint64_t frame;
    uint16_t column;
    double value;
  };
  std::vector<UserValue> user;
  for (;;) {
    auto next = reader.next_record();
    if (!next) return next.error();
    if (!next.value()) break;
    format::Record& r = *next.value();
    const uint64_t frame = t.frame_count++;
    system.insert(system.end(), r.system.begin(), r.system.end());
    for (const auto& [id, value] : r.user) user.push_back({frame, id, value});
    if (r.flame) t.flames.emplace_back(frame, std::move(*r.flame));
  }

  t.columns = reader.columns();
  t.columns.insert(t.columns.end(), reader.user_columns().begin(), reader.user_columns().end());
  const size_t n = t.frame_count;
  t.values.assign(t.columns.size() * n, std::numeric_limits<double>::quiet_NaN());
  for (size_t f = 0; f < n; ++f) {
    for (size_t i = 0; i < c; ++i) t.values[i * n + f] = system[f * c + i];
  }
  for (const auto& u : user) t.values[u.column * n + u.frame] = u.value;
  return t;
}

}  // namespace zel::record::read
