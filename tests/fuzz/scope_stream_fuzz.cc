// libFuzzer harness over the scope-stream parser: a thread's begin and end records as
// they appear inside a flame frame. A Panic is an accepted outcome.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/flame_oracle.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  std::vector<profiler::DecodedScope> scopes;
  try {
    // Appending after scopes already there, as a frame's threads do.
    scopes.resize(size % 3);
    profiler::parse_scope_stream(bytes, scopes, 1000);
  } catch (const Panic&) {
    return 0;
  }
  fuzz::check_well_formed(scopes, size % 3);

  std::vector<testing::DecodedScope> strict;
  try {
    strict = testing::FlameDecoder::parse_stream(Bytes(bytes.begin(), bytes.end()));
  } catch (const std::runtime_error&) {
    return 0;
  }
  fuzz::check_same_scopes(strict, {scopes.begin() + size % 3, scopes.end()});
  return 0;
}
