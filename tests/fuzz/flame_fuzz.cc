// libFuzzer harness over the flame-frame decoder: the "PFD4" bytes of a frame's flame,
// with their LZ4-packed thread streams. A Panic is an accepted outcome; where the strict
// decoder also accepts the bytes, both must read them alike.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "base/lz4_block.h"
#include "tests/cpp/flame_oracle.h"

using namespace zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  profiler::DecodedFlame core;
  try {
    core = profiler::decode_flame({data, size});
  } catch (const Panic&) {
    return 0;
  }
  for (const auto& t : core.threads) oracle::expect_well_formed(t.scopes);
  oracle::Frame strict;
  try {
    strict = oracle::decode({data, size});
  } catch (const std::runtime_error&) {
    return 0;
  }
  oracle::expect_agree(strict, core);
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
  Bytes raw(u32_at(packed_at) <= max_size ? u32_at(packed_at) : 0);
  if (raw.empty() ||
      !lz4::decompress({data + packed_at + 4, packed_len - 4}, raw.data(), raw.size()))
    return LLVMFuzzerMutate(data, size, max_size);
  raw.resize(max_size);
  raw.resize(LLVMFuzzerMutate(raw.data(), u32_at(packed_at), max_size));

  Bytes out(data, data + packed_at - 5);
  put_u32(out, 0);  // the packed length, known below
  put_u8(out, data[packed_at - 1]);
  put_u32(out, static_cast<uint32_t>(raw.size()));
  const size_t n = lz4::compress_append(raw, out);
  store_u32(out.data() + packed_at - 5, static_cast<uint32_t>(4 + n));
  put_bytes(out, data + packed_at + packed_len, size - packed_at - packed_len);
  if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, out.data(), out.size());
  return out.size();
}
#endif
