// Reads a .zel stream back frame by frame, from a finished file or one that is
// still being written: it stops at the end of the file or at a partial trailing
// record and picks up from there on the next call.
//
//   auto r = Reader::open("capture.zel");
//   while (auto f = unwrap(r.value().next_frame())) use(*f);
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "record/stream_format.h"

namespace zel::record::read {

using format::Column;

struct ReadFrame {
  std::vector<double> system;                        // one per column, in column order
  std::vector<std::pair<std::string, double>> user;  // in record order
  std::optional<Bytes> flame;
};

class Reader {
 public:
  static constexpr size_t kReadSize = 65536;

  // Opens and checks the header. An unreadable or short file is an IoError; a wrong
  // magic, version or a non-UTF-8 name is a Panic.
  static Result<Reader> open(const std::string& path);
  // Same, over any input (tests use in-memory inputs).
  static Result<Reader> open(std::unique_ptr<Input> input);

  // The next frame; nullopt when no whole frame record is available yet. Declarations
  // met on the way extend user_columns(). Read errors are returned and leave the
  // reader as it was; a damaged record is a Panic (see the notes in stream_reader.cc on where
  // the reader stands after one).
  Result<std::optional<ReadFrame>> next_frame();
  // The same, with user values keyed by column id (the header's C columns come
  // first, so user column k has id C + k): no names are copied.
  Result<std::optional<format::Record>> next_record();

  const std::vector<Column>& columns() const { return columns_; }
  const std::vector<Column>& user_columns() const { return user_columns_; }
  bool flame_enabled() const { return flame_enabled_; }
  // Where in the stream the next record starts: after a Panic from next_record(), the
  // offset of the damaged record.
  uint64_t offset() const { return input_.position() - (pending_.size() - pos_); }

 private:
  explicit Reader(BufReader input) : input_(std::move(input)) {}

  Bytes pending_;
  size_t pos_ = 0;
  std::vector<Column> columns_;
  std::vector<Column> user_columns_;
  BufReader input_;
  bool flame_enabled_ = false;
  Bytes scratch_;  // decompressed record body, reused
};

}  // namespace zel::record::read
