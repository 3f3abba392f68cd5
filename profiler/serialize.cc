#include "serialize.h"

#include "compact.h"

namespace profiler::serialize {

using namespace compact;

namespace {

size_t size_of(const ThreadInfo& t) {
  return 1 + (t.start_time_ns ? int_size(*t.start_time_ns) : 0) + bytes_size(t.name.size());
}
void encode(zel::Bytes& out, const ThreadInfo& t) {
  out.push_back(t.start_time_ns ? 1 : 0);
  if (t.start_time_ns) put_int(out, *t.start_time_ns);
  put_text(out, t.name);
}

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

}  // namespace

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

size_t size_of(const std::vector<SharedScopeDetails>& scopes) {
  size_t n = uint_size(scopes.size());
  for (const auto& d : scopes) n += size_of(*d);
  return n;
}
void encode(zel::Bytes& out, const std::vector<SharedScopeDetails>& scopes) {
  put_uint(out, scopes.size());
  for (const auto& d : scopes) encode(out, *d);
}

}  // namespace profiler::serialize
