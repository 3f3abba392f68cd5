#include "base/lz4_block.h"

#include <lz4.h>

#include "base/error.h"

namespace zel::lz4 {

static_assert(kMaxInput == LZ4_MAX_INPUT_SIZE);

size_t compress_append(std::span<const uint8_t> in, Bytes& out) {
  if (in.size() > kMaxInput) {
    panic("an LZ4 block of " + std::to_string(in.size()) + " bytes exceeds the block limit");
  }
  // A fresh LZ4_compress_default would clear 16 KiB of hash table for every block.
  struct State {
    LZ4_stream_t stream;
    State() { LZ4_initStream(&stream, sizeof stream); }
  };
  thread_local State state;
  const int src = static_cast<int>(in.size());
  const int bound = LZ4_compressBound(src);
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(bound));
  LZ4_resetStream_fast(&state.stream);
  const int n = LZ4_compress_fast_continue(&state.stream, reinterpret_cast<const char*>(in.data()),
                                           reinterpret_cast<char*>(out.data() + at), src, bound, 1);
  if (n <= 0) panic("LZ4 compression failed");
  out.resize(at + static_cast<size_t>(n));
  return static_cast<size_t>(n);
}

bool decompress(std::span<const uint8_t> block, uint8_t* out, size_t size) {
  if (!plausible(block.size(), size)) return false;
  const int got =
      LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()), reinterpret_cast<char*>(out),
                          static_cast<int>(block.size()), static_cast<int>(size));
  return got >= 0 && static_cast<size_t>(got) == size;
}

}  // namespace zel::lz4
