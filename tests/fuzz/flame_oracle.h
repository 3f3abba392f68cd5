// What the flame fuzzers check beyond "no crash, no exception but Panic": the core
// decoder's scopes are well formed, and wherever the strict decoder of the tests
// (every size field checked) accepts the bytes, the core decoder agrees with it.
#pragma once

#include <cstdlib>
#include <vector>

#include "base/error.h"
#include "profiler/flame_format.h"
#include "tests/cpp/flame_decoder.h"

namespace zel::fuzz {

// A check that failed: abort, which libFuzzer reports as a crash with its input.
inline void expect(bool ok) {
  if (!ok) std::abort();
}

// Parents come before their children and depths follow them.
inline void check_well_formed(const std::vector<profiler::DecodedScope>& scopes, size_t first = 0) {
  for (size_t i = first; i < scopes.size(); ++i) {
    const auto& s = scopes[i];
    if (s.parent < 0) {
      expect(s.depth == 0);
    } else {
      expect(static_cast<size_t>(s.parent) < i - first);
      expect(s.depth == scopes[first + static_cast<size_t>(s.parent)].depth + 1);
    }
  }
}

// The strict decoder's trees, depth first, against the core decoder's flat list.
inline void check_same_scopes(const std::vector<testing::DecodedScope>& trees,
                              const std::vector<profiler::DecodedScope>& flat) {
  size_t next = 0;
  auto visit = [&](auto& self, const testing::DecodedScope& s, int64_t parent) -> void {
    expect(next < flat.size());
    const auto& d = flat[next];
    const auto index = static_cast<int64_t>(next++);
    expect(d.id == s.id && d.start_ns == s.start && d.stop_ns == s.stop && d.data == s.data &&
           d.parent == parent && !d.open);
    for (const auto& c : s.children) self(self, c, index);
  };
  for (const auto& s : trees) visit(visit, s, -1);
  expect(next == flat.size());
}

}  // namespace zel::fuzz
