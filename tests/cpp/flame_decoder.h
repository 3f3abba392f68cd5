// A small decoder of flame frames for the tests: it checks every length and marker
// and rebuilds the scope trees, so tests compare meaning, never compressed bytes.
#pragma once

#include <lz4.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/compact_coding.h"
#include "profiler/data.h"
#include "profiler/frame_data.h"
#include "profiler/scope_details.h"
#include "profiler/flame_format.h"
#include "profiler/thread_profiler.h"

namespace zel::testing {

struct DecodedScope {
  profiler::ScopeId id = 0;
  int64_t start = 0, stop = 0;
  std::string data;
  std::vector<DecodedScope> children;
};

struct DecodedThread {
  profiler::ThreadInfo info;
  Bytes stream;
  uint64_t num_scopes = 0, depth = 0;
  profiler::RangeNs range_ns;
  std::vector<DecodedScope> scopes;  // outermost scopes in stream order
};

struct DecodedFrame {
  profiler::FrameMeta meta;
  Bytes packed_section;  // compression kind and packed bytes, as stored
  std::vector<DecodedThread> threads;
  std::vector<profiler::ScopeDetails> scopes;
};

class FlameDecoder {
 public:
  // Throws std::runtime_error naming the first thing that does not parse.
  static DecodedFrame decode(const Bytes& bytes);
  // The scope records of one stream, checking that every size field matches.
  static std::vector<DecodedScope> parse_stream(const Bytes& stream);
  // The uncompressed encoding of a frame's thread map.
  static std::vector<DecodedThread> decode_threads(Cursor in);
};

namespace detail {

[[noreturn]] inline void fail(const std::string& what) {
  throw std::runtime_error("flame frame: " + what);
}
inline uint64_t uint_of(Cursor& in) {
  uint64_t v;
  if (!zel::compact::get_uint(in, v)) fail("bad unsigned");
  return v;
}
inline int64_t int_of(Cursor& in) {
  int64_t v;
  if (!zel::compact::get_int(in, v)) fail("bad signed");
  return v;
}
inline uint8_t flag_of(Cursor& in) {
  uint8_t f;
  if (!in.read(f) || f > 1) fail("bad option flag");
  return f;
}
inline std::string text_of(Cursor& in) {
  std::span<const uint8_t> b;
  if (!zel::compact::get_bytes(in, b)) fail("bad text");
  return std::string(b.begin(), b.end());
}
inline uint32_t u32_of(Cursor& in) {
  uint32_t v;
  if (!in.read(v)) fail("short u32");
  return v;
}
inline DecodedScope scope_of(Cursor& in, const uint8_t* base) {
  DecodedScope s;
  uint8_t tag, n;
  if (!in.read(tag) || tag != profiler::scope_record::kBeginTag) fail("expected a begin record");
  if (!in.read(s.id) || !in.read(s.start) || !in.read(n)) fail("short begin record");
  const uint8_t* p;
  if (!in.take(n, p)) fail("short data text");
  s.data.assign(p, p + n);
  uint64_t size;
  if (!in.read(size)) fail("short size field");
  if (size > in.remaining())
    fail("size field past the stream at " + std::to_string(in.position() - base));
  const uint8_t* children_end = in.position() + size;
  while (in.position() < children_end) s.children.push_back(scope_of(in, base));
  if (in.position() != children_end) fail("children overrun the size field");
  if (!in.read(tag) || tag != profiler::scope_record::kEndTag || !in.read(s.stop)) fail("expected an end record");
  return s;
}

}  // namespace detail

inline std::vector<DecodedScope> FlameDecoder::parse_stream(const Bytes& stream) {
  Cursor in(stream);
  std::vector<DecodedScope> out;
  while (in.remaining() > 0) out.push_back(detail::scope_of(in, stream.data()));
  return out;
}

inline std::vector<DecodedThread> FlameDecoder::decode_threads(Cursor in) {
  using namespace detail;
  std::vector<DecodedThread> threads(uint_of(in));
  for (auto& t : threads) {
    if (flag_of(in)) t.info.start_time_ns = int_of(in);
    t.info.name = text_of(in);
    std::span<const uint8_t> stream;
    if (!zel::compact::get_bytes(in, stream)) fail("bad stream bytes");
    t.stream.assign(stream.begin(), stream.end());
    t.num_scopes = uint_of(in);
    t.depth = uint_of(in);
    t.range_ns.first = int_of(in);
    t.range_ns.second = int_of(in);
    t.scopes = parse_stream(t.stream);
  }
  if (in.remaining() != 0) fail("bytes after the thread map");
  return threads;
}

inline DecodedFrame FlameDecoder::decode(const Bytes& bytes) {
  using namespace detail;
  DecodedFrame f;
  Cursor in(bytes);
  const uint8_t* p;
  if (!in.take(4, p) || std::string(p, p + 4) != "PFD4") fail("bad magic");

  const uint32_t m = u32_of(in);
  if (!in.take(m, p)) fail("short meta");
  Cursor meta(p, p + m);
  f.meta.frame_index = uint_of(meta);
  f.meta.range_ns.first = int_of(meta);
  f.meta.range_ns.second = int_of(meta);
  f.meta.num_bytes = uint_of(meta);
  f.meta.num_scopes = uint_of(meta);
  if (meta.remaining() != 0) fail("bytes after the meta");

  const uint32_t packed_len = u32_of(in);
  uint8_t kind;
  if (!in.read(kind) || kind != 1) fail("unknown compression kind");
  if (!in.take(packed_len, p)) fail("short packed streams");
  f.packed_section.assign(p - 1, p + packed_len);
  if (packed_len < 4) fail("packed streams without a length");
  const uint32_t raw_len = load_u32(p);
  Bytes raw(raw_len);
  int got =
      LZ4_decompress_safe(reinterpret_cast<const char*>(p + 4), reinterpret_cast<char*>(raw.data()),
                          static_cast<int>(packed_len - 4), static_cast<int>(raw_len));
  if (got != static_cast<int>(raw_len)) fail("LZ4 block does not match its length");
  f.threads = decode_threads(Cursor(raw));

  const uint32_t s = u32_of(in);
  if (!in.take(s, p)) fail("short scope list");
  Cursor list(p, p + s);
  f.scopes.resize(uint_of(list));
  for (auto& d : f.scopes) {
    if (flag_of(list)) d.scope_id = static_cast<profiler::ScopeId>(uint_of(list));
    if (flag_of(list)) d.scope_name = text_of(list);
    d.function_name = text_of(list);
    d.file_path = text_of(list);
    d.line_nr = static_cast<uint32_t>(uint_of(list));
  }
  if (list.remaining() != 0 || in.remaining() != 0) fail("trailing bytes");
  return f;
}

}  // namespace zel::testing
