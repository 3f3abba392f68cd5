// libFuzzer harness over the flame-frame decoder: the "PFD4" bytes of Frame.flame,
// with their LZ4-packed thread streams. A Panic is an accepted outcome.
#include <lz4.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "tests/fuzz/flame_oracle.h"

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

#ifdef ZEL_FUZZ_MUTATOR
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

// Half of the time, mutates the thread map where it lies uncompressed and packs it
// again: changes to the LZ4 block itself hardly ever survive its length checks, so
// the thread streams inside would otherwise be reached through in-place byte changes
// to literals only. Layout: "PFD4" u32 m meta[m] u32 p u8 kind, u32 U LZ4[p-4], rest.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned seed) {
  std::minstd_rand rng(seed);
  auto u32_at = [&](size_t at) { return at + 4 <= size ? load_u32(data + at) : UINT32_MAX; };
  const uint64_t packed_at = 8 + uint64_t{u32_at(4)} + 5;
  const uint64_t packed_len = u32_at(packed_at - 5);
  if (rng() % 2 == 0 || packed_at > size || packed_len < 4 || packed_len > size - packed_at)
    return LLVMFuzzerMutate(data, size, max_size);
  const uint32_t raw_len = u32_at(packed_at);
  if (raw_len > max_size) return LLVMFuzzerMutate(data, size, max_size);
  Bytes raw(max_size);
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(data + packed_at + 4),
                                      reinterpret_cast<char*>(raw.data()),
                                      static_cast<int>(packed_len - 4), static_cast<int>(raw_len));
  if (got != static_cast<int>(raw_len)) return LLVMFuzzerMutate(data, size, max_size);
  raw.resize(LLVMFuzzerMutate(raw.data(), raw_len, max_size));

  Bytes packed(static_cast<size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()),
                                     reinterpret_cast<char*>(packed.data()),
                                     static_cast<int>(raw.size()), static_cast<int>(packed.size()));
  if (n <= 0) return LLVMFuzzerMutate(data, size, max_size);
  const size_t rest_at = packed_at + packed_len;
  Bytes out(data, data + packed_at - 5);
  put_u32(out, static_cast<uint32_t>(4 + n));
  put_u8(out, data[packed_at - 1]);
  put_u32(out, static_cast<uint32_t>(raw.size()));
  put_bytes(out, packed.data(), static_cast<size_t>(n));
  put_bytes(out, data + rest_at, size - rest_at);
  if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, out.data(), out.size());
  return out.size();
}
#endif
