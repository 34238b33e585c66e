// The text of a URL, below both its wire form (wire_url.h) and the resolving of references
// (url_reference.h): its scheme, where its user-info lies, and how its bytes are escaped for a
// debug line or a request line. Text only, no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rz {

// The scheme of an absolute URL as written, "HTTP" or "https": a letter, then letters, digits,
// '+', '-' or '.', before a ':' that comes ahead of any '/', '?' or '#'. Empty when there is none.
std::string_view SchemeText(std::string_view url);
// The scheme in lower case ("http", "https", ...); empty when there is none.
std::string SchemeOf(std::string_view url);

// The index of the first control character (0x00-0x1F or 0x7F) in `text`; npos when none. Such a
// byte in a URL could end a request line and start a header of the sender's choosing.
std::size_t ControlCharacterAt(std::string_view text);

// Where the user-info of `url` lies: [begin, end), the '@' included, begin == end when there is
// none. The authority starts after a "://" that comes before any '/', '?' or '#' (at the start of
// a URL without a scheme) and ends at the next of those; the user-info runs to its last '@'.
struct TextSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};
TextSpan UserInfoOf(std::string_view url);

// `text` for a debug line: each control character as "%XX", so that a line stays one line.
std::string ShownText(std::string_view text);
// `url` for a debug line: without its user-info, as ShownText writes it.
std::string ShownUrl(std::string_view url);

// `text` with each byte from 0x80 up as "%XX", everything else as it is: raw UTF-8 in a Location,
// as a server configured with a non-ASCII path sends it, made the ASCII a request line carries.
std::string HighBytesEncoded(std::string_view text);

}  // namespace rz
