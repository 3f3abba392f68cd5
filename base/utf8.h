// UTF-8 helpers: validation, cutting at a character boundary, and the quoted debug
// form used when a path appears in a message.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zel::utf8 {

// Length of the longest valid UTF-8 prefix of s; equals s.size() when s is valid.
size_t valid_prefix(std::string_view s);

// The longest prefix of s of at most max_bytes that does not end inside a
// character. s must be valid UTF-8.
std::string_view cut(std::string_view s, size_t max_bytes);

// s in double quotes: backslash before \ and ", \t \r \n \0 for those controls,
// \u{hex} for other non-printable characters, \xHH for bytes that are not UTF-8.
std::string debug_quote(std::string_view s);

}  // namespace zel::utf8
