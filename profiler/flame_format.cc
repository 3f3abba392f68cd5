#include "profiler/flame_format.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/compact_coding.h"
#include "base/error.h"
#include "base/lz4_block.h"

namespace profiler {

using namespace zel::compact;

// ---- scope stream records -----------------------------------------------------------

namespace scope_record {

void put_begin(uint8_t* p, ScopeId id, std::string_view data) {
  p[0] = kBeginTag;
  zel::store_fixed(p + kIdAt, id);
  p[kDataLenAt] = static_cast<uint8_t>(data.size());
  if (!data.empty()) std::memcpy(p + kDataAt, data.data(), data.size());
  zel::store_fixed(p + size_at(data.size()), kOpenSize);
}

void put_end(zel::Bytes& out, NanoSecond stop) {
  out.push_back(kEndTag);
  zel::put_fixed(out, stop);
}

}  // namespace scope_record

namespace {

[[noreturn]] void fail(const std::string& what) {
  zel::panic("malformed flame frame: " + what);
}

uint64_t uint_of(zel::Cursor& in, const char* what) {
  uint64_t v;
  if (!get_uint(in, v)) fail(std::string("bad ") + what);
  return v;
}
template <class T>
T narrow_uint_of(zel::Cursor& in, const char* what) {
  const uint64_t v = uint_of(in, what);
  if (v > std::numeric_limits<T>::max()) fail(std::string(what) + " out of range");
  return static_cast<T>(v);
}
int64_t int_of(zel::Cursor& in, const char* what) {
  int64_t v;
  if (!get_int(in, v)) fail(std::string("bad ") + what);
  return v;
}
bool flag_of(zel::Cursor& in, const char* what) {
  uint8_t f;
  if (!in.read(f) || f > 1) fail(std::string("bad option flag of ") + what);
  return f == 1;
}
std::string text_of(zel::Cursor& in, const char* what) {
  std::span<const uint8_t> b;
  if (!get_bytes(in, b)) fail(std::string("bad ") + what);
  return std::string(b.begin(), b.end());
}
// Counts come from the input: never reserve more elements than the bytes could hold.
size_t count_of(zel::Cursor& in, const char* what, size_t min_bytes_each) {
  const uint64_t n = uint_of(in, what);
  if (n > in.remaining() / min_bytes_each) fail(std::string(what) + " larger than its bytes");
  return static_cast<size_t>(n);
}

// Byte counts of the frame's sections are u32 fields; larger sections cannot be written.
uint32_t section_len(size_t n, const char* what) {
  if (n > 0xFFFFFFFFu) zel::panic(std::string("flame frame ") + what + " exceeds 4 GiB");
  return static_cast<uint32_t>(n);
}
// A section of the frame: a u32 length and that many bytes.
zel::Cursor section_of(zel::Cursor& in, const char* what) {
  uint32_t n;
  const uint8_t* p;
  if (!in.read(n)) fail(std::string("no length of ") + what);
  if (!in.take(n, p)) fail(std::string(what) + " runs past the end");
  return zel::Cursor(p, p + n);
}

// ---- the frame's records, each encoder beside its decoder, fields in order ----------

size_t size_of(const FrameMeta& m) {
  return uint_size(m.frame_index) + int_size(m.range_ns.first) + int_size(m.range_ns.second) +
         uint_size(m.num_bytes) + uint_size(m.num_scopes);
}
void encode(zel::Bytes& out, const FrameMeta& m) {
  put_uint(out, m.frame_index);
  put_int(out, m.range_ns.first);
  put_int(out, m.range_ns.second);
  put_uint(out, m.num_bytes);
  put_uint(out, m.num_scopes);
}
FrameMeta decode_meta(zel::Cursor& in) {
  FrameMeta m;
  m.frame_index = uint_of(in, "frame index");
  m.range_ns.first = int_of(in, "frame start");
  m.range_ns.second = int_of(in, "frame stop");
  m.num_bytes = uint_of(in, "byte count");
  m.num_scopes = uint_of(in, "scope count");
  return m;
}

size_t size_of(const ThreadInfo& t) {
  return 1 + (t.start_time_ns ? int_size(*t.start_time_ns) : 0) + bytes_size(t.name.size());
}
void encode(zel::Bytes& out, const ThreadInfo& t) {
  out.push_back(t.start_time_ns ? 1 : 0);
  if (t.start_time_ns) put_int(out, *t.start_time_ns);
  put_text(out, t.name);
}
ThreadInfo decode_thread_info(zel::Cursor& in) {
  ThreadInfo t;
  if (flag_of(in, "thread start")) t.start_time_ns = int_of(in, "thread start");
  t.name = text_of(in, "thread name");
  return t;
}
constexpr size_t kMinThreadLen = 6;  // fewer than the 7 bytes one thread takes at least

size_t size_of(const StreamInfo& s) {
  return bytes_size(s.stream.size()) + uint_size(s.num_scopes) + uint_size(s.depth) +
         int_size(s.range_ns.first) + int_size(s.range_ns.second);
}
void encode(zel::Bytes& out, const StreamInfo& s) {
  put_uint(out, s.stream.size());
  zel::put_bytes(out, s.stream.data(), s.stream.size());
  put_uint(out, s.num_scopes);
  put_uint(out, s.depth);
  put_int(out, s.range_ns.first);
  put_int(out, s.range_ns.second);
}
// The stream's bytes stay in the input; the thread's figures are filled in.
std::span<const uint8_t> decode_stream(zel::Cursor& in, DecodedThread& t) {
  std::span<const uint8_t> stream;
  if (!get_bytes(in, stream)) fail("bad stream bytes");
  t.num_scopes = uint_of(in, "stream scope count");
  t.depth = uint_of(in, "stream depth");
  t.range_ns.first = int_of(in, "stream start");
  t.range_ns.second = int_of(in, "stream stop");
  return stream;
}

size_t size_of(const ScopeDetails& d) {
  return 1 + (d.scope_id ? uint_size(*d.scope_id) : 0) + 1 +
         (d.scope_name ? bytes_size(d.scope_name->size()) : 0) +
         bytes_size(d.function_name.size()) + bytes_size(d.file_path.size()) + uint_size(d.line_nr);
}
void encode(zel::Bytes& out, const ScopeDetails& d) {
  out.push_back(d.scope_id ? 1 : 0);
  if (d.scope_id) put_uint(out, *d.scope_id);
  out.push_back(d.scope_name ? 1 : 0);
  if (d.scope_name) put_text(out, *d.scope_name);
  put_text(out, d.function_name);
  put_text(out, d.file_path);
  put_uint(out, d.line_nr);
}
ScopeDetails decode_details(zel::Cursor& in) {
  ScopeDetails d;
  if (flag_of(in, "scope id")) d.scope_id = narrow_uint_of<ScopeId>(in, "scope id");
  if (flag_of(in, "scope name")) d.scope_name = text_of(in, "scope name");
  d.function_name = text_of(in, "function name");
  d.file_path = text_of(in, "file path");
  d.line_nr = narrow_uint_of<uint32_t>(in, "line number");
  return d;
}
constexpr size_t kMinDetailsLen = 5;  // two flags, two empty texts, a line number

size_t size_of(const ThreadStreams& streams) {
  size_t n = uint_size(streams.size());
  for (const auto& [info, stream] : streams) n += size_of(info) + size_of(*stream);
  return n;
}
void encode(zel::Bytes& out, const ThreadStreams& streams) {
  put_uint(out, streams.size());
  for (const auto& [info, stream] : streams) {
    encode(out, info);
    encode(out, *stream);
  }
}

size_t size_of(std::span<const SharedScopeDetails> scopes) {
  size_t n = uint_size(scopes.size());
  for (const auto& d : scopes) n += size_of(*d);
  return n;
}
void encode(zel::Bytes& out, std::span<const SharedScopeDetails> scopes) {
  put_uint(out, scopes.size());
  for (const auto& d : scopes) encode(out, *d);
}

zel::Bytes unpack(zel::Cursor packed) {
  uint32_t raw_len;
  if (!packed.read(raw_len)) fail("packed streams without a length");
  if (!zel::lz4::plausible(packed.remaining(), raw_len)) {
    fail("packed length larger than LZ4 allows");
  }
  zel::Bytes raw(raw_len);
  if (!zel::lz4::decompress({packed.position(), packed.remaining()}, raw.data(), raw_len)) {
    fail("LZ4 block does not match its length");
  }
  return raw;
}

}  // namespace

PackedStreams pack_streams(const ThreadStreams& streams) {
  thread_local zel::Bytes encoded;
  encoded.clear();
  encoded.reserve(size_of(streams));
  encode(encoded, streams);
  PackedStreams packed;
  zel::put_u32(packed.bytes, static_cast<uint32_t>(encoded.size()));
  zel::lz4::compress_append(encoded, packed.bytes);
  packed.bytes.shrink_to_fit();
  return packed;
}

void append_flame_frame(const FrameMeta& meta, const PackedStreams& packed,
                        std::span<const SharedScopeDetails> scopes, zel::Bytes& out) {
  const size_t meta_len = size_of(meta);
  const size_t list_len = size_of(scopes);
  out.reserve(out.size() + 4 + 4 + meta_len + 5 + packed.bytes.size() + 4 + list_len);
  zel::put_bytes(out, kFlameMagic, 4);
  zel::put_u32(out, section_len(meta_len, "meta"));
  encode(out, meta);
  zel::put_u32(out, section_len(packed.bytes.size(), "packed streams"));
  zel::put_u8(out, packed.compression_kind);
  zel::put_bytes(out, packed.bytes.data(), packed.bytes.size());
  zel::put_u32(out, section_len(list_len, "scope list"));
  encode(out, scopes);
}

void parse_scope_stream(std::span<const uint8_t> stream, std::vector<DecodedScope>& out,
                        NanoSecond open_stop) {
  using namespace scope_record;
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

uint64_t flame_frame_index(std::span<const uint8_t> bytes) {
  zel::Cursor in(bytes);
  const uint8_t* p;
  if (!in.take(4, p) || !std::equal(p, p + 4, kFlameMagic)) fail("no \"PFD4\" magic");
  zel::Cursor meta = section_of(in, "meta");
  return decode_meta(meta).frame_index;
}

DecodedFlame decode_flame(std::span<const uint8_t> bytes) {
  DecodedFlame f;
  zel::Cursor in(bytes);
  const uint8_t* p;
  if (!in.take(4, p) || !std::equal(p, p + 4, kFlameMagic)) fail("no \"PFD4\" magic");

  zel::Cursor meta = section_of(in, "meta");
  f.meta = decode_meta(meta);
  if (meta.remaining() != 0) fail("bytes after the meta");

  uint32_t packed_len;
  uint8_t kind;
  if (!in.read(packed_len) || !in.read(kind)) fail("no packed streams");
  if (kind != PackedStreams::kLz4) fail("unknown compression kind " + std::to_string(kind));
  if (!in.take(packed_len, p)) fail("packed streams run past the end");
  const zel::Bytes raw = unpack(zel::Cursor(p, p + packed_len));

  zel::Cursor threads(raw);
  f.threads.resize(count_of(threads, "thread count", kMinThreadLen));
  for (auto& t : f.threads) {
    t.info = decode_thread_info(threads);
    const std::span<const uint8_t> stream = decode_stream(threads, t);
    parse_scope_stream(stream, t.scopes, std::max(t.range_ns.second, f.meta.range_ns.second));
  }
  if (threads.remaining() != 0) fail("bytes after the thread map");

  zel::Cursor list = section_of(in, "scope list");
  f.scopes.resize(count_of(list, "scope count", kMinDetailsLen));
  for (auto& d : f.scopes) d = decode_details(list);
  if (list.remaining() != 0) fail("bytes after the scope list");
  if (in.remaining() != 0) fail("bytes after the frame");
  return f;
}

}  // namespace profiler

namespace profiler {

void StreamInfo::extend(const StreamInfoRef& other) {
  using namespace scope_record;
  const uint8_t* in = other.stream.data();
  const size_t at = stream.size();  // where the other segment's bytes begin here
  size_t skip = 0;                  // its leading reopening records, when they continue ours
  std::vector<size_t> still_open;
  if (other.reopened > 0 && other.reopened == open_at.size()) {
    for (size_t j = 0; j < other.reopened; ++j) skip += begin_len(in[skip + kDataLenAt]);
    size_t theirs = 0;
    for (size_t j = 0; j < other.reopened; ++j) {
      const size_t their_size_at = theirs + size_at(in[theirs + kDataLenAt]);
      const uint64_t size = zel::load_fixed<uint64_t>(in + their_size_at);
      const size_t ours = open_at[j];
      const size_t our_size_at = ours + size_at(stream[ours + kDataLenAt]);
      if (size == kOpenSize) {
        still_open.push_back(ours);
      } else {  // ends in the other segment: where that end lands here
        const size_t end = at + (their_size_at + 8 + size) - skip;
        zel::store_fixed(stream.data() + our_size_at, uint64_t{end - (our_size_at + 8)});
      }
      theirs += begin_len(in[theirs + kDataLenAt]);
    }
  }
  for (size_t p : other.open_at) {
    if (p >= skip) still_open.push_back(at + p - skip);
  }
  zel::put_bytes(stream, in + skip, other.stream.size() - skip);
  open_at = std::move(still_open);
  num_scopes += other.num_scopes;
  depth = std::max(depth, other.depth);
  range_ns.first = std::min(range_ns.first, other.range_ns.first);
  range_ns.second = std::max(range_ns.second, other.range_ns.second);
}

}  // namespace profiler
