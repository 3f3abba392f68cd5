#include "base/utf8.h"

#include <gtest/gtest.h>

namespace zel::utf8 {
namespace {

TEST(Utf8, ValidationRefusesOverlongsSurrogatesAndTruncation) {
  EXPECT_TRUE(is_valid("plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(is_valid("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(is_valid("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid("\xF4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_EQ(valid_prefix("ab\xE2\x82"), 2u);   // cut inside a character
}

TEST(Utf8, CutNeverSplitsACharacter) {
  std::string s = "a\xE2\x82\xAC";  // 'a' then a three-byte euro sign
  EXPECT_EQ(cut(s, 4), s);
  EXPECT_EQ(cut(s, 3), "a");
  EXPECT_EQ(cut(s, 2), "a");
  EXPECT_EQ(cut(s, 1), "a");
  EXPECT_EQ(cut(s, 0), "");
}

TEST(Utf8, DebugQuoteEscapes) {
  EXPECT_EQ(debug_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quote(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(debug_quote("\x1b\x7f"), "\"\\u{1b}\\u{7f}\"");
  EXPECT_EQ(debug_quote("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  EXPECT_EQ(debug_quote("x\xFFy"), "\"x\\xFFy\"");
}

}  // namespace
}  // namespace zel::utf8
