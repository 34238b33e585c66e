// Case-insensitive comparison and trimming of protocol text (header names, schemes, host names):
// ASCII only, whatever the C library's locale says.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rz {

inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` without the spaces, tabs and line ends around it.
inline std::string_view Trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return std::string_view();
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// A URL's scheme, the letters before "://", in lower case: schemes match in any case, and a
// request is the same bytes whichever case its URL's scheme was written in.
inline void SchemeInLowerCase(std::string& url) {
  const std::size_t end = url.find("://");
  if (end == std::string::npos || url.find_first_of("/?#") < end) return;
  for (std::size_t i = 0; i < end; ++i) url[i] = AsciiLower(url[i]);
}

}  // namespace rz
