#include "base/utf8.h"

#include <cstdint>
#include <cstdio>

namespace zel::utf8 {
namespace {

// Decodes one character at s[i]; returns its length, or 0 if the bytes there are
// not a valid encoding (overlong forms, surrogates and values past U+10FFFF included).
size_t decode(std::string_view s, size_t i, uint32_t& cp) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  uint32_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    uint8_t b = byte(i + k);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

bool printable(uint32_t cp) {
  return cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0);
}

}  // namespace

size_t valid_prefix(std::string_view s) {
  size_t i = 0;
  uint32_t cp;
  while (i < s.size()) {
    if (static_cast<uint8_t>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = decode(s, i, cp);
    if (n == 0) break;
    i += n;
  }
  return i;
}

std::string_view cut(std::string_view s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t end = max_bytes;
  while (end > 0 && (static_cast<uint8_t>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

std::string debug_quote(std::string_view s) {
  std::string out = "\"";
  char hex[16];
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp;
    size_t n = decode(s, i, cp);
    if (n == 0) {
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<uint8_t>(s[i]));
      out += hex;
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (printable(cp)) {
          out.append(s.substr(i, n));
        } else {
          std::snprintf(hex, sizeof hex, "\\u{%x}", cp);
          out += hex;
        }
    }
    i += n;
  }
  return out + "\"";
}

}  // namespace zel::utf8
