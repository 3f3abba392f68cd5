#include "record/stream_reader.h"

namespace zel::record::read {

Result<Reader> Reader::open(const std::string& path) {
  auto file = FileInput::open(path);
  if (!file) return file.error();
  return open(file.take());
}

Result<Reader> Reader::open(std::unique_ptr<Input> input) {
  BufReader in(std::move(input));
  auto header = format::read_header(in);
  if (!header) return header.error();
  Reader r(std::move(in));
  for (auto& c : header.value().columns) {
    r.columns_.push_back(std::move(c));
  }
  r.flame_enabled_ = header.value().flame_enabled;
  return r;
}

Result<std::optional<ReadFrame>> Reader::next_frame() {
  auto next = next_record();
  if (!next) return next.error();
  if (!next.value()) return std::optional<ReadFrame>();
  format::Record& record = *next.value();
  const size_t c = columns_.size();
  ReadFrame frame;
  frame.user.reserve(record.user.size());
  for (const auto& [id, value] : record.user)
    frame.user.emplace_back(user_columns_[id - c].name, value);
  frame.system = std::move(record.system);
  frame.flame = std::move(record.flame);
  return std::optional<ReadFrame>(std::move(frame));
}

Result<std::optional<format::Record>> Reader::next_record() {
  const size_t c = columns_.size();
  for (;;) {
    std::span<const uint8_t> rest(pending_.data() + pos_, pending_.size() - pos_);
    // A Panic from here leaves pos_ at the damaged blob: every later call fails alike.
    auto decoded = format::try_read_record(rest, c, scratch_);
    if (decoded) {
      pos_ += decoded->first;
      // From here pos_ is past the record, so a bad declaration or frame is
      // dropped and the next call continues after it.
      if (auto* decl = std::get_if<format::Decl>(&decoded->second)) {
        uint16_t expected = static_cast<uint16_t>(c + user_columns_.size());
        if (decl->id != expected) {
          assert_eq_failed("out-of-order .zel column declaration", std::to_string(decl->id),
                           std::to_string(expected));
        }
        user_columns_.push_back(std::move(decl->column));
        continue;
      }
      auto& record = std::get<format::Record>(decoded->second);
      for (const auto& [id, value] : record.user) {
        if (id < c || id - c >= user_columns_.size()) {
          panic("undeclared .zel user column id " + std::to_string(id) + " (" +
                std::to_string(user_columns_.size()) + " user columns declared from id " +
                std::to_string(c) + ")");
        }
      }
      return std::optional<format::Record>(std::move(record));
    }

    // Incomplete: move the undecoded tail to the front, then read more.
    if (pos_ > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pos_));
      pos_ = 0;
    }
    size_t old = pending_.size();
    pending_.resize(old + kReadSize);
    auto got = input_.read(pending_.data() + old, kReadSize);
    pending_.resize(old + (got ? got.value() : 0));
    if (!got) return got.error();
    if (got.value() == 0) return std::optional<format::Record>();
  }
}

}  // namespace zel::record::read
