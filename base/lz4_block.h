// One LZ4 block: compression, safe decompression into a buffer of known size, and the
// bound that tells a plausible (packed, unpacked) size pair from damage. Every LZ4
// block of the stream records and of the flame frames goes through here.
//
//   size_t n = lz4::compress_append(body, out);          // out grows by n bytes
//   if (!lz4::decompress(block, raw.data(), raw.size())) reject();
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/coding.h"

namespace zel::lz4 {

// The largest input one block can hold (LZ4_MAX_INPUT_SIZE).
inline constexpr size_t kMaxInput = 0x7E000000;

// An LZ4 block expands at most 255 to 1 (one length byte adds at most 255 bytes of
// match), so an unpacked size beyond that, or either size beyond one block, can only
// come from damage.
inline bool plausible(uint64_t packed_size, uint64_t unpacked_size) {
  return packed_size <= kMaxInput && unpacked_size <= kMaxInput &&
         unpacked_size <= packed_size * 255;
}

// Appends the block that holds `in` to `out` and returns its size. Panics when `in`
// exceeds kMaxInput. Keeps one compression state per thread, reset rather than rebuilt
// for each block.
size_t compress_append(std::span<const uint8_t> in, Bytes& out);

// Decodes `block` into [out, out + size). True only when the sizes are plausible and
// the block decodes to exactly `size` bytes.
[[nodiscard]] bool decompress(std::span<const uint8_t> block, uint8_t* out, size_t size);

}  // namespace zel::lz4
