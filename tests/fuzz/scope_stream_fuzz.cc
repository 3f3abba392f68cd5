// libFuzzer harness over the scope-stream parser: a thread's begin and end records as
// they appear inside a flame frame. A Panic is an accepted outcome; where the strict
// decoder also accepts the bytes, both must read the same scopes.
#include <cstddef>
#include <cstdint>

#include "tests/cpp/flame_oracle.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t first = size % 3;  // appended after another thread's scopes, as in a frame
  std::vector<profiler::DecodedScope> scopes(first);
  try {
    profiler::parse_scope_stream({data, size}, scopes, 1000);
  } catch (const Panic&) {
    return 0;
  }
  oracle::expect_well_formed(scopes, first);
  std::vector<oracle::Scope> strict;
  try {
    strict = oracle::parse_stream({data, size});
  } catch (const std::runtime_error&) {
    return 0;
  }
  oracle::expect_agree(strict, scopes, first);
  return 0;
}
