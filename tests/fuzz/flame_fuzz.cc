// libFuzzer harness over the flame-frame decoder: the "PFD4" bytes of Frame.flame,
// with their LZ4-packed thread streams. A Panic is an accepted outcome.
#include <cstddef>
#include <cstdint>

#include "flame_oracle.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  profiler::DecodedFlame frame;
  try {
    frame = profiler::decode_flame(bytes);
  } catch (const Panic&) {
    return 0;
  }
  for (const auto& t : frame.threads) fuzz::check_well_formed(t.scopes);

  testing::DecodedFrame strict;
  try {
    strict = testing::FlameDecoder::decode(Bytes(bytes.begin(), bytes.end()));
  } catch (const std::runtime_error&) {
    return 0;
  }
  fuzz::expect(strict.meta.frame_index == frame.meta.frame_index &&
               strict.meta.range_ns == frame.meta.range_ns &&
               strict.meta.num_scopes == frame.meta.num_scopes &&
               strict.threads.size() == frame.threads.size() && strict.scopes == frame.scopes);
  for (size_t i = 0; i < strict.threads.size(); ++i) {
    fuzz::expect(strict.threads[i].info == frame.threads[i].info);
    fuzz::check_same_scopes(strict.threads[i].scopes, frame.threads[i].scopes);
  }
  return 0;
}
