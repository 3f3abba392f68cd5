// The strict flame decoder of the tests and fuzzers. It checks every length, marker
// and size field, refuses what the profiler never writes (open scopes, unmatched end
// records, nesting past 1000), rebuilds the scope trees, and checks that the core
// decoder read the same bytes the same way.
#pragma once

#include <lz4.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/compact_coding.h"
#include "base/error.h"
#include "profiler/flame_format.h"

namespace zel::oracle {

struct Scope {
  profiler::ScopeId id = 0;
  int64_t start = 0, stop = 0;
  std::string data;
  std::vector<Scope> children;
  bool operator==(const Scope&) const = default;
};

struct Thread {
  profiler::ThreadInfo info;
  Bytes stream;
  uint64_t num_scopes = 0, depth = 0;
  profiler::RangeNs range;
  std::vector<Scope> scopes;  // outermost scopes in stream order
};

struct Frame {
  profiler::FrameMeta meta;
  Bytes packed;  // the compression kind and the packed bytes, as stored
  std::vector<Thread> threads;
  std::vector<profiler::ScopeDetails> scopes;
};

// Each reader throws std::runtime_error naming what does not parse.
template <class T>
T fixed(Cursor& in) {
  T v;
  if (!in.read(v)) throw std::runtime_error("flame frame: short field");
  return v;
}
template <class T = uint64_t>
T uint_of(Cursor& in, uint64_t max = UINT64_MAX) {
  uint64_t v;
  if (!compact::get_uint(in, v) || v > max) throw std::runtime_error("flame frame: bad unsigned");
  return static_cast<T>(v);
}
inline int64_t int_of(Cursor& in) {
  int64_t v;
  if (!compact::get_int(in, v)) throw std::runtime_error("flame frame: bad signed");
  return v;
}
inline bool flag_of(Cursor& in) {
  const auto f = fixed<uint8_t>(in);
  if (f > 1) throw std::runtime_error("flame frame: bad option flag");
  return f == 1;
}
inline std::string text_of(Cursor& in) {
  std::span<const uint8_t> b;
  if (!compact::get_bytes(in, b)) throw std::runtime_error("flame frame: bad text");
  return std::string(b.begin(), b.end());
}
inline Cursor section_of(Cursor& in, uint64_t n) {
  const uint8_t* p;
  if (!in.take(n, p)) throw std::runtime_error("flame frame: section runs past the end");
  return Cursor(p, p + n);
}

inline Scope scope_of(Cursor& in, int depth) {
  using namespace profiler::scope_record;
  Scope s;
  if (depth > 1000 || fixed<uint8_t>(in) != kBeginTag)
    throw std::runtime_error("flame frame: expected a begin record");
  s.id = fixed<uint32_t>(in);
  s.start = fixed<int64_t>(in);
  Cursor data = section_of(in, fixed<uint8_t>(in));
  if (data.remaining() > kMaxDataLen) throw std::runtime_error("flame frame: long data text");
  s.data.assign(data.position(), data.position() + data.remaining());
  Cursor children = section_of(in, fixed<uint64_t>(in));
  while (children.remaining() > 0) s.children.push_back(scope_of(children, depth + 1));
  if (fixed<uint8_t>(in) != kEndTag)
    throw std::runtime_error("flame frame: expected an end record");
  s.stop = fixed<int64_t>(in);
  return s;
}

// The scopes of one thread's stream; every size field must span its children exactly.
inline std::vector<Scope> parse_stream(std::span<const uint8_t> bytes) {
  Cursor in(bytes);
  std::vector<Scope> top;
  while (in.remaining() > 0) top.push_back(scope_of(in, 0));
  return top;
}

inline Frame decode(std::span<const uint8_t> bytes) {
  Frame f;
  Cursor in(bytes);
  if (fixed<uint32_t>(in) != load_u32(profiler::kFlameMagic))
    throw std::runtime_error("flame frame: bad magic");
  Cursor meta = section_of(in, fixed<uint32_t>(in));
  f.meta = {uint_of(meta), {int_of(meta), int_of(meta)}, uint_of(meta), uint_of(meta)};
  const uint32_t packed_len = fixed<uint32_t>(in);
  if (fixed<uint8_t>(in) != 1) throw std::runtime_error("flame frame: unknown compression");
  Cursor packed = section_of(in, packed_len);
  f.packed.assign(packed.position() - 1, packed.position() + packed_len);
  const uint32_t raw_len = fixed<uint32_t>(packed);
  if (raw_len / 255 > packed.remaining()) throw std::runtime_error("flame frame: packed too long");
  Bytes raw(raw_len);
  if (LZ4_decompress_safe(reinterpret_cast<const char*>(packed.position()),
                          reinterpret_cast<char*>(raw.data()), static_cast<int>(packed.remaining()),
                          static_cast<int>(raw.size())) != static_cast<int>(raw.size()))
    throw std::runtime_error("flame frame: LZ4 block does not match its length");
  Cursor map(raw);
  f.threads.resize(uint_of(map, raw.size()));
  for (Thread& t : f.threads) {
    if (flag_of(map)) t.info.start_time_ns = int_of(map);
    t.info.name = text_of(map);
    const std::string stream = text_of(map);
    t.stream.assign(stream.begin(), stream.end());
    t.num_scopes = uint_of(map);
    t.depth = uint_of(map);
    t.range = {int_of(map), int_of(map)};
    t.scopes = parse_stream(t.stream);
  }
  Cursor list = section_of(in, fixed<uint32_t>(in));
  f.scopes.resize(uint_of(list, list.remaining()));
  for (profiler::ScopeDetails& d : f.scopes) {
    if (flag_of(list)) d.scope_id = uint_of<uint32_t>(list, UINT32_MAX);
    if (flag_of(list)) d.scope_name = text_of(list);
    d.function_name = text_of(list);
    d.file_path = text_of(list);
    d.line_nr = uint_of<uint32_t>(list, UINT32_MAX);
  }
  if (meta.remaining() + map.remaining() + list.remaining() + in.remaining() != 0)
    throw std::runtime_error("flame frame: trailing bytes");
  return f;
}

// Throws std::logic_error, which a fuzzer reports as a crash, unless `ok`.
inline void expect(bool ok, const char* what) {
  if (!ok) throw std::logic_error(std::string("the flame decoders disagree: ") + what);
}

// The core decoder's scopes from `first` on: parents before children, depths in step.
inline void expect_well_formed(const std::vector<profiler::DecodedScope>& flat, size_t first = 0) {
  for (size_t i = first; i < flat.size(); ++i) {
    const int64_t parent = flat[i].parent;
    expect(parent < 0 ? flat[i].depth == 0
                      : static_cast<size_t>(parent) < i - first &&
                            flat[i].depth == flat[first + parent].depth + 1,
           "parent");
  }
}

// The core decoder's scopes from `first` on are the strict decoder's trees, depth first.
inline void expect_agree(const std::vector<Scope>& trees,
                         const std::vector<profiler::DecodedScope>& flat, size_t first = 0) {
  expect_well_formed(flat, first);
  size_t next = first;
  auto visit = [&](auto& self, const Scope& s, int64_t parent) -> void {
    expect(next < flat.size(), "scope count");
    const profiler::DecodedScope& d = flat[next];
    expect(d.id == s.id && d.start_ns == s.start && d.stop_ns == s.stop && d.data == s.data &&
               d.parent == parent && !d.open,
           "scope");
    const auto self_index = static_cast<int64_t>(next++ - first);
    for (const Scope& c : s.children) self(self, c, self_index);
  };
  for (const Scope& s : trees) visit(visit, s, -1);
  expect(next == flat.size(), "scope count");
}

inline void expect_agree(const Frame& strict, const profiler::DecodedFlame& core) {
  const profiler::FrameMeta &a = strict.meta, &b = core.meta;
  expect(a.frame_index == b.frame_index && a.range_ns == b.range_ns && a.num_bytes == b.num_bytes &&
             a.num_scopes == b.num_scopes && strict.threads.size() == core.threads.size() &&
             strict.scopes == core.scopes,
         "frame");
  for (size_t i = 0; i < strict.threads.size(); ++i) {
    const Thread& s = strict.threads[i];
    const profiler::DecodedThread& c = core.threads[i];
    expect(s.info == c.info && s.num_scopes == c.num_scopes && s.depth == c.depth &&
               s.range == c.range_ns,
           "thread");
    expect_agree(s.scopes, c.scopes);
  }
}

}  // namespace zel::oracle
