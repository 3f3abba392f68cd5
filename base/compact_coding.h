// The compact encoding of flame frames: unsigned integers in 1, 3, 5 or 9 bytes
// (one byte up to 250, else a marker FB/FC/FD and a u16/u32/u64), signed integers
// zig-zag mapped first, texts and byte vectors as a length and their bytes. Writers
// append; readers take a Cursor and never look past its limit.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/coding.h"

namespace zel::compact {

inline constexpr uint8_t kU16 = 0xFB, kU32 = 0xFC, kU64 = 0xFD;

inline size_t uint_size(uint64_t v) {
  return v <= 250 ? 1 : v <= 0xFFFF ? 3 : v <= 0xFFFFFFFF ? 5 : 9;
}
inline uint64_t zigzag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t unzigzag(uint64_t u) {
  return static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
}
inline size_t int_size(int64_t v) {
  return uint_size(zigzag(v));
}
inline size_t bytes_size(size_t n) {
  return uint_size(n) + n;
}

inline void put_uint(Bytes& out, uint64_t v) {
  if (v <= 250) {
    out.push_back(static_cast<uint8_t>(v));
  } else if (v <= 0xFFFF) {
    out.push_back(kU16);
    zel::put_u16(out, static_cast<uint16_t>(v));
  } else if (v <= 0xFFFFFFFF) {
    out.push_back(kU32);
    zel::put_u32(out, static_cast<uint32_t>(v));
  } else {
    out.push_back(kU64);
    zel::put_u64(out, v);
  }
}
inline void put_int(Bytes& out, int64_t v) {
  put_uint(out, zigzag(v));
}
inline void put_text(Bytes& out, std::string_view s) {
  put_uint(out, s.size());
  zel::put_bytes(out, s.data(), s.size());
}

// Each reader returns false when the bytes are short or malformed (the unused
// marker FE, or FF).
[[nodiscard]] inline bool get_uint(Cursor& in, uint64_t& v) {
  uint8_t first;
  if (!in.read(first)) return false;
  if (first <= 250) {
    v = first;
    return true;
  }
  if (first == kU16) {
    uint16_t x;
    if (!in.read(x)) return false;
    v = x;
    return true;
  }
  if (first == kU32) {
    uint32_t x;
    if (!in.read(x)) return false;
    v = x;
    return true;
  }
  if (first == kU64) return in.read(v);
  return false;
}
[[nodiscard]] inline bool get_int(Cursor& in, int64_t& v) {
  uint64_t u;
  if (!get_uint(in, u)) return false;
  v = unzigzag(u);
  return true;
}
// Points `out` at the next length-prefixed byte string.
[[nodiscard]] inline bool get_bytes(Cursor& in, std::span<const uint8_t>& out) {
  uint64_t n;
  const uint8_t* p;
  if (!get_uint(in, n) || n > in.remaining() || !in.take(n, p)) return false;
  out = {p, static_cast<size_t>(n)};
  return true;
}

}  // namespace zel::compact
