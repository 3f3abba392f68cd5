#include "record/stream_format.h"

#include <cstring>
#include <limits>

#include "base/lz4_block.h"
#include "base/utf8.h"

namespace zel::record::format {
namespace {

void put_str(Bytes& out, std::string_view s) {
  s = utf8::cut(s, kMaxField);
  put_u16(out, static_cast<uint16_t>(s.size()));
  put_bytes(out, s.data(), s.size());
}

[[noreturn]] void body_too_short() {
  throw Panic("called `Result::unwrap()` on an `Err` value: " + IoError::unexpected_eof().debug(),
              "corrupt .zel record: its body ends inside a field");
}

template <class T>
T get(Cursor& in) {
  T v;
  if (!in.read(v)) body_too_short();
  return v;
}

std::string checked_utf8(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  size_t valid = utf8::valid_prefix(s);
  if (valid != n) {
    panic("invalid utf-8 in .zel string field: invalid byte at offset " + std::to_string(valid));
  }
  return s;
}

std::string magic_list(const uint8_t* m) {
  std::string s = "[";
  for (int i = 0; i < 4; ++i) s += (i ? ", " : "") + std::to_string(m[i]);
  return s + "]";
}

Record parse_frame(Cursor& in, size_t columns) {
  Record r;
  if (in.remaining() < 8 * columns) body_too_short();
  r.system.resize(columns);
  for (double& v : r.system) v = get<double>(in);
  uint16_t count = get<uint16_t>(in);
  const uint8_t* pairs;
  if (!in.take(size_t{10} * count, pairs)) body_too_short();
  r.user.resize(count);
  for (size_t i = 0; i < count; ++i) {
    r.user[i].first = load_u16(pairs + 10 * i);
    r.user[i].second = load_fixed<double>(pairs + 10 * i + 2);
  }
  uint32_t flame_len = get<uint32_t>(in);
  if (flame_len > 0) {
    const uint8_t* flame;
    if (!in.take(flame_len, flame)) body_too_short();
    r.flame.emplace(flame, flame + flame_len);
  }
  return r;
}

}  // namespace

Status write_header(Output& out, const Header& header) {
  Bytes b;
  put_bytes(b, kMagic, 4);
  put_u16(b, header.version);
  put_u8(b, header.flame_enabled ? 1 : 0);
  size_t count = std::min(header.columns.size(), kMaxField);
  put_u16(b, static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) {
    put_str(b, header.columns[i].name);
    put_str(b, header.columns[i].unit);
  }
  return out.write_all(b.data(), b.size());
}

Status write_decl(Output& out, const Decl& decl) {
  Bytes b;
  b.reserve(7 + decl.column.name.size() + decl.column.unit.size());
  put_u8(b, kTagDecl);
  put_u16(b, decl.id);
  put_str(b, decl.column.name);
  put_str(b, decl.column.unit);
  return write_blob(out, b);
}

Status write_frame(Output& out, const Record& record) {
  thread_local Bytes b;
  b.clear();
  size_t count = std::min(record.user.size(), kMaxField);
  put_u8(b, kTagFrame);
  put_bytes(b, record.system.data(), 8 * record.system.size());
  put_u16(b, static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) {
    put_u16(b, record.user[i].first);
    put_f64(b, record.user[i].second);
  }
  size_t fixed = b.size() + 4;
  bool with_flame =
      record.flame && !record.flame->empty() && record.flame->size() <= lz4::kMaxInput - fixed;
  if (with_flame) {
    put_u32(b, static_cast<uint32_t>(record.flame->size()));
    put_bytes(b, record.flame->data(), record.flame->size());
  } else {
    put_u32(b, 0);
  }
  return write_blob(out, b);
}

Status write_blob(Output& out, std::span<const uint8_t> body) {
  thread_local Bytes blob;
  blob.resize(8);
  const size_t n = lz4::compress_append(body, blob);
  store_u32(blob.data(), 4 + static_cast<uint32_t>(n));
  store_u32(blob.data() + 4, static_cast<uint32_t>(body.size()));
  return out.write_all(blob.data(), blob.size());
}

Result<Header> read_header(BufReader& in) {
  uint8_t magic[4];
  if (Status s = in.read_exact(magic, 4); !s) return s.error();
  if (std::memcmp(magic, kMagic, 4) != 0) {
    assert_eq_failed("not a .zel stream", magic_list(magic), magic_list(kMagic), Fault::NotAStream);
  }
  uint8_t fixed[5];
  if (Status s = in.read_exact(fixed, 2); !s) return s.error();
  uint16_t version = load_u16(fixed);
  if (version != kVersion) {
    assert_eq_failed("unsupported .zel version", std::to_string(version), std::to_string(kVersion));
  }
  if (Status s = in.read_exact(fixed + 2, 3); !s) return s.error();
  Header h;
  h.flame_enabled = fixed[2] != 0;
  uint16_t count = load_u16(fixed + 3);
  h.columns.reserve(count);
  Bytes buf;
  auto read_field = [&](std::string& out) -> Status {
    uint8_t len[2];
    if (Status s = in.read_exact(len, 2); !s) return s;
    buf.resize(load_u16(len));
    if (Status s = in.read_exact(buf.data(), buf.size()); !s) return s;
    out = checked_utf8(buf.data(), buf.size());
    return Status::success();
  };
  for (uint16_t i = 0; i < count; ++i) {
    Column c;
    if (Status s = read_field(c.name); !s) return s.error();
    if (Status s = read_field(c.unit); !s) return s.error();
    h.columns.push_back(std::move(c));
  }
  return h;
}

std::string read_str(Cursor& in) {
  uint16_t len = get<uint16_t>(in);
  const uint8_t* p;
  if (!in.take(len, p)) body_too_short();
  return checked_utf8(p, len);
}

std::optional<std::pair<size_t, Decoded>> try_read_record(std::span<const uint8_t> range,
                                                          size_t columns, Bytes& scratch) {
  if (range.size() < 4) return std::nullopt;
  uint64_t blob_len = load_u32(range.data());
  if (range.size() < 4 + blob_len) return std::nullopt;
  if (blob_len < 4) panic("corrupt .zel blob: length " + std::to_string(blob_len) + " below 4");
  uint64_t block_len = blob_len - 4;
  uint64_t body_len = load_u32(range.data() + 4);
  if (!lz4::plausible(block_len, body_len)) {
    panic("corrupt .zel blob: body length " + std::to_string(body_len) +
          " cannot come from an LZ4 block of " + std::to_string(block_len) + " bytes");
  }
  scratch.resize(body_len);
  if (!lz4::decompress(range.subspan(8, block_len), scratch.data(), body_len)) {
    panic("corrupt .zel blob: the LZ4 block does not decode");
  }

  Cursor in(scratch.data(), scratch.data() + body_len);
  size_t consumed = 4 + blob_len;
  uint8_t tag = get<uint8_t>(in);
  if (tag == kTagFrame) return std::pair{consumed, Decoded(parse_frame(in, columns))};
  if (tag == kTagDecl) {
    Decl d;
    d.id = get<uint16_t>(in);
    d.column.name = read_str(in);
    d.column.unit = read_str(in);
    return std::pair{consumed, Decoded(std::move(d))};
  }
  panic("unknown .zel record tag " + std::to_string(tag));
}

std::optional<std::pair<size_t, Decoded>> try_read_record(std::span<const uint8_t> range,
                                                          size_t columns) {
  Bytes scratch;
  return try_read_record(range, columns, scratch);
}

}  // namespace zel::record::format
