// The .zel stream byte layout and its encode/decode pairs; nothing else lives here.
//
//   stream := header blob*
//   header := "ZEL1" u16 version(=2) u8 flame_flag u16 C (str name, str unit){C}
//   blob   := u32 N, u32 R, LZ4 block of N-4 bytes that decodes to the R-byte body
//   body   := 0 f64{C} u16 U (u16 id, f64 value){U} u32 F u8{F}     a frame
//           | 1 u16 id str name str unit                             a declaration
//   str    := u16 L, L bytes of UTF-8
//
// Integers are unsigned little-endian, floats IEEE binary64 little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/coding.h"
#include "base/error.h"
#include "base/io.h"

namespace zel::record::format {

inline constexpr uint8_t kMagic[4] = {'Z', 'E', 'L', '1'};
inline constexpr uint16_t kVersion = 2;
inline constexpr uint8_t kTagFrame = 0;
inline constexpr uint8_t kTagDecl = 1;
// Widest string field, column count and user value count the format can hold.
inline constexpr size_t kMaxField = 0xFFFF;

// A metric column: its name and its unit (empty when it has none).
struct Column {
  std::string name;
  std::string unit;
  bool operator==(const Column&) const = default;
};

struct Header {
  std::vector<Column> columns;
  uint16_t version = kVersion;
  bool flame_enabled = false;
};

struct Record {
  std::vector<double> system;
  std::vector<std::pair<uint16_t, double>> user;
  std::optional<Bytes> flame;
};

// The declaration of user column `id`.
struct Decl {
  uint16_t id;
  Column column;
};

using Decoded = std::variant<Decl, Record>;

// Write side: each appends to `out` and never flushes. Inputs wider than a field
// are cut to fit so that a length always matches the bytes after it: strings at a
// UTF-8 boundary to 65535 bytes, columns and user values to the first 65535, and a
// flame too large for one LZ4 block is dropped (the frame is written without it).
Status write_header(Output& out, const Header& header);
Status write_decl(Output& out, const Decl& decl);
Status write_frame(Output& out, const Record& record);
Status write_blob(Output& out, std::span<const uint8_t> body);

// Read side. read_header reads exactly the header's bytes from `in`; an early end
// of input is IoError::unexpected_eof(). A wrong magic or version, or a string
// that is not UTF-8, is a Panic.
Result<Header> read_header(BufReader& in);

// Decodes the first record of `range`, a stream with `columns` header columns.
// Returns nullopt while `range` does not yet hold a whole blob; otherwise the bytes
// the blob occupies (4 + N) and the record. A damaged blob is a Panic. `scratch`
// is reused for the decompressed body.
std::optional<std::pair<size_t, Decoded>> try_read_record(std::span<const uint8_t> range,
                                                          size_t columns, Bytes& scratch);
std::optional<std::pair<size_t, Decoded>> try_read_record(std::span<const uint8_t> range,
                                                          size_t columns);

// A string field from the cursor; a short field or invalid UTF-8 is a Panic.
std::string read_str(Cursor& in);

}  // namespace zel::record::format
