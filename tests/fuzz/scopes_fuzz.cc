// libFuzzer harness over the scope aggregation: the input is cut into flame frames at
// each "PFD4", and the frames go through the figures by name, by thread and by path.
// Frames that do not decode are skipped and listed; whatever the bytes, the figures
// must stay consistent with each other.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "record/scope_stats.h"

using namespace zel;

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "scope figures inconsistent: %s\n", what);
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::span<const uint8_t>> frames;
  for (size_t at = 0; at < size;) {
    size_t next = in.find("PFD4", at + 1);
    if (next == std::string_view::npos) next = size;
    frames.emplace_back(data + at, next - at);
    at = next;
  }
  for (bool by_thread : {false, true}) {
    const record::ScopeStats s = record::scope_stats(frames, by_thread);
    check(s.undecodable.size() <= frames.size(), "more undecodable frames than frames");
    const size_t decoded = frames.size() - s.undecodable.size();
    for (const auto& r : s.rows) {
      check(r.open_calls <= r.calls, "open calls above calls");
      check(r.frames <= decoded, "a key in more frames than decoded");
      check(by_thread ? r.thread >= 0 && size_t(r.thread) < s.threads.size() : r.thread == -1,
            "thread index");
      if (r.calls > 0) check(!(r.call_p50_ns > r.call_p99_ns), "p50 above p99");
    }
  }
  const record::ScopePaths p = record::scope_paths(frames);
  for (size_t i = 0; i < p.nodes.size(); ++i) {
    check(p.nodes[i].parent < static_cast<int64_t>(i), "a child before its parent");
    check(p.nodes[i].thread < p.threads.size(), "path thread index");
  }
  return 0;
}
