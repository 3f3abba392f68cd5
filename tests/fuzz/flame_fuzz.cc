// libFuzzer harness over the flame-frame decoder and the scope-stream parser. Bytes that
// start with "PFD4" are a frame's flame, with its LZ4-packed thread streams; any other
// bytes are one thread's begin and end records, handed to the parser directly, since
// inside a frame they lie behind an LZ4 block that mutations hardly ever get through.
// A Panic is an accepted outcome; where the strict decoder also accepts the bytes, both
// must read them alike.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/cpp/flame_oracle.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  const bool frame = size >= 4 && std::memcmp(data, "PFD4", 4) == 0;
  const size_t first = size % 3;  // appended after another thread's scopes, as in a frame
  profiler::DecodedFlame core;
  std::vector<profiler::DecodedScope> scopes(first);
  try {
    if (frame)
      core = profiler::decode_flame(in);
    else
      profiler::parse_scope_stream(in, scopes, 1000);
  } catch (const Panic&) {
    return 0;
  }
  oracle::expect_well_formed(scopes, first);
  for (const auto& t : core.threads) oracle::expect_well_formed(t.scopes);
  try {
    if (frame)
      oracle::expect_agree(oracle::decode(in), core);
    else
      oracle::expect_agree(oracle::parse_stream(in), scopes, first);
  } catch (const std::runtime_error&) {  // the strict decoder refuses them: nothing to compare
  }
  return 0;
}
