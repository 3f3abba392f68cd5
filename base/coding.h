// Little-endian fixed-width coding. Writers append to a byte vector; a Cursor reads
// from [p, limit) and never looks past limit: every read reports whether the bytes
// were there.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace zel {

using Bytes = std::vector<uint8_t>;

inline void put_u8(Bytes& out, uint8_t v) {
  out.push_back(v);
}

template <class T>
inline void put_fixed(Bytes& out, T v) {
  static_assert(std::endian::native == std::endian::little, "little-endian hosts only");
  uint8_t raw[sizeof v];
  std::memcpy(raw, &v, sizeof v);
  out.insert(out.end(), raw, raw + sizeof v);
}
inline void put_u16(Bytes& out, uint16_t v) {
  put_fixed(out, v);
}
inline void put_u32(Bytes& out, uint32_t v) {
  put_fixed(out, v);
}
inline void put_u64(Bytes& out, uint64_t v) {
  put_fixed(out, v);
}
inline void put_f64(Bytes& out, double v) {
  put_fixed(out, v);
}
inline void put_bytes(Bytes& out, const void* p, size_t n) {
  if (n == 0) return;
  const auto* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

// REQUIRES: p points at sizeof(T) readable bytes.
template <class T>
inline T load_fixed(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint16_t load_u16(const uint8_t* p) {
  return load_fixed<uint16_t>(p);
}
inline uint32_t load_u32(const uint8_t* p) {
  return load_fixed<uint32_t>(p);
}

// REQUIRES: p points at sizeof(T) writable bytes.
template <class T>
inline void store_fixed(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}
inline void store_u32(uint8_t* p, uint32_t v) {
  store_fixed(p, v);
}

class Cursor {
 public:
  Cursor(const uint8_t* p, const uint8_t* limit) : p_(p), limit_(limit) {}
  explicit Cursor(std::span<const uint8_t> s) : Cursor(s.data(), s.data() + s.size()) {}

  size_t remaining() const { return static_cast<size_t>(limit_ - p_); }
  const uint8_t* position() const { return p_; }

  template <class T>
  [[nodiscard]] bool read(T& v) {
    if (remaining() < sizeof v) return false;
    std::memcpy(&v, p_, sizeof v);
    p_ += sizeof v;
    return true;
  }
  // Points `out` at the next n bytes and skips them.
  [[nodiscard]] bool take(size_t n, const uint8_t*& out) {
    if (remaining() < n) return false;
    out = p_;
    p_ += n;
    return true;
  }

 private:
  const uint8_t* p_;
  const uint8_t* limit_;
};

}  // namespace zel
