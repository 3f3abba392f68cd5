#include "flame_decode.h"

#include <lz4.h>

#include <algorithm>
#include <limits>

#include "compact.h"
#include "serialize.h"
#include "thread_profiler.h"

namespace profiler {
namespace {

[[noreturn]] void fail(const std::string& what) {
  zel::panic("malformed flame frame: " + what);
}

uint64_t uint_of(zel::Cursor& in, const char* what) {
  uint64_t v;
  if (!compact::get_uint(in, v)) fail(std::string("bad ") + what);
  return v;
}
int64_t int_of(zel::Cursor& in, const char* what) {
  int64_t v;
  if (!compact::get_int(in, v)) fail(std::string("bad ") + what);
  return v;
}
bool flag_of(zel::Cursor& in, const char* what) {
  uint8_t f;
  if (!in.read(f) || f > 1) fail(std::string("bad option flag of ") + what);
  return f == 1;
}
std::string text_of(zel::Cursor& in, const char* what) {
  std::span<const uint8_t> b;
  if (!compact::get_bytes(in, b)) fail(std::string("bad ") + what);
  return std::string(b.begin(), b.end());
}
// A section of the frame: a u32 length and that many bytes.
zel::Cursor section_of(zel::Cursor& in, const char* what) {
  uint32_t n;
  const uint8_t* p;
  if (!in.read(n)) fail(std::string("no length of ") + what);
  if (!in.take(n, p)) fail(std::string(what) + " runs past the end");
  return zel::Cursor(p, p + n);
}
// Counts come from the input: never reserve more elements than the bytes could hold.
size_t count_of(zel::Cursor& in, const char* what, size_t min_bytes_each) {
  const uint64_t n = uint_of(in, what);
  if (n > in.remaining() / min_bytes_each) fail(std::string(what) + " larger than its bytes");
  return static_cast<size_t>(n);
}

zel::Bytes decompress(zel::Cursor packed) {
  uint32_t raw_len;
  if (!packed.read(raw_len)) fail("packed streams without a length");
  // LZ4 expands at most 255-fold; a larger claim is damage, not a frame.
  if (raw_len / 255 > packed.remaining() + 1) fail("packed length larger than LZ4 allows");
  zel::Bytes raw(raw_len);
  const int got = LZ4_decompress_safe(
      reinterpret_cast<const char*>(packed.position()), reinterpret_cast<char*>(raw.data()),
      static_cast<int>(packed.remaining()), static_cast<int>(raw_len));
  if (got < 0 || static_cast<uint32_t>(got) != raw_len) fail("LZ4 block does not match its length");
  return raw;
}

}  // namespace

void parse_scope_stream(std::span<const uint8_t> stream, std::vector<DecodedScope>& out,
                        NanoSecond open_stop) {
  zel::Cursor in(stream);
  const size_t first = out.size();
  std::vector<size_t> open;  // indices into `out` of the scopes open here
  while (in.remaining() > 0) {
    uint8_t tag = 0;
    (void)in.read(tag);
    if (tag == kBeginTag) {
      DecodedScope s;
      uint8_t n;
      const uint8_t* p;
      uint64_t size;
      if (!in.read(s.id) || !in.read(s.start_ns) || !in.read(n) || !in.take(n, p) ||
          !in.read(size)) {
        fail("short begin record at stream byte " + std::to_string(in.position() - stream.data()));
      }
      s.data.assign(p, p + n);
      s.parent = open.empty() ? -1 : static_cast<int64_t>(open.back() - first);
      s.depth = static_cast<uint32_t>(open.size());
      s.open = true;
      open.push_back(out.size());
      out.push_back(std::move(s));
    } else if (tag == kEndTag) {
      NanoSecond stop;
      if (!in.read(stop)) fail("short end record");
      if (open.empty()) continue;
      DecodedScope& s = out[open.back()];
      open.pop_back();
      s.stop_ns = stop;
      s.open = false;
    } else {
      fail("unknown record tag " + std::to_string(tag) + " at stream byte " +
           std::to_string(in.position() - 1 - stream.data()));
    }
  }
  for (size_t i : open) out[i].stop_ns = std::max(open_stop, out[i].start_ns);
}

DecodedFlame decode_flame(std::span<const uint8_t> bytes) {
  DecodedFlame f;
  zel::Cursor in(bytes);
  const uint8_t* p;
  if (!in.take(4, p) || !std::equal(p, p + 4, serialize::kMagic)) fail("no \"PFD4\" magic");

  zel::Cursor meta = section_of(in, "meta");
  f.meta.frame_index = uint_of(meta, "frame index");
  f.meta.range_ns.first = int_of(meta, "frame start");
  f.meta.range_ns.second = int_of(meta, "frame stop");
  f.meta.num_bytes = uint_of(meta, "byte count");
  f.meta.num_scopes = uint_of(meta, "scope count");
  if (meta.remaining() != 0) fail("bytes after the meta");

  uint32_t packed_len;
  uint8_t kind;
  if (!in.read(packed_len) || !in.read(kind)) fail("no packed streams");
  if (kind != PackedStreams::kLz4) fail("unknown compression kind " + std::to_string(kind));
  if (!in.take(packed_len, p)) fail("packed streams run past the end");
  const zel::Bytes raw = decompress(zel::Cursor(p, p + packed_len));

  zel::Cursor threads(raw);
  f.threads.resize(count_of(threads, "thread count", 6));
  for (auto& t : f.threads) {
    if (flag_of(threads, "thread start")) t.info.start_time_ns = int_of(threads, "thread start");
    t.info.name = text_of(threads, "thread name");
    std::span<const uint8_t> stream;
    if (!compact::get_bytes(threads, stream)) fail("bad stream bytes");
    t.num_scopes = uint_of(threads, "stream scope count");
    t.depth = uint_of(threads, "stream depth");
    t.range_ns.first = int_of(threads, "stream start");
    t.range_ns.second = int_of(threads, "stream stop");
    parse_scope_stream(stream, t.scopes, std::max(t.range_ns.second, f.meta.range_ns.second));
  }
  if (threads.remaining() != 0) fail("bytes after the thread map");

  zel::Cursor list = section_of(in, "scope list");
  f.scopes.resize(count_of(list, "scope count", 5));
  for (auto& d : f.scopes) {
    if (flag_of(list, "scope id")) {
      const uint64_t id = uint_of(list, "scope id");
      if (id > std::numeric_limits<ScopeId>::max()) fail("scope id out of range");
      d.scope_id = static_cast<ScopeId>(id);
    }
    if (flag_of(list, "scope name")) d.scope_name = text_of(list, "scope name");
    d.function_name = text_of(list, "function name");
    d.file_path = text_of(list, "file path");
    const uint64_t line = uint_of(list, "line number");
    if (line > std::numeric_limits<uint32_t>::max()) fail("line number out of range");
    d.line_nr = static_cast<uint32_t>(line);
  }
  if (list.remaining() != 0) fail("bytes after the scope list");
  if (in.remaining() != 0) fail("bytes after the frame");
  return f;
}

}  // namespace profiler
