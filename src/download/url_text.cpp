#include "download/url_text.h"

#include <algorithm>

#include "download/ascii_text.h"

namespace rz {
namespace {

constexpr std::string_view kAuthorityEnds = "/?#";

bool IsSchemeCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool IsHigh(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// `text` with each byte that `escaped` picks as "%XX". Upper-case digits, as RFC 3986 asks of
// whoever encodes, for debug lines and request lines alike.
std::string Escaped(std::string_view text, bool (*escaped)(char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (escaped(c)) {
      out.append({'%', kHex[byte >> 4], kHex[byte & 0x0F]});
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string_view SchemeText(std::string_view url) {
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > url.find_first_of(kAuthorityEnds)) {
    return {};
  }
  const char first = url[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) return {};
  const std::string_view scheme = url.substr(0, colon);
  return std::all_of(scheme.begin(), scheme.end(), IsSchemeCharacter) ? scheme : std::string_view();
}

std::string SchemeOf(std::string_view url) {
  std::string scheme(SchemeText(url));
  for (char& c : scheme) c = AsciiLower(c);
  return scheme;
}

std::size_t ControlCharacterAt(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsControl(text[i])) return i;
  }
  return std::string_view::npos;
}

TextSpan UserInfoOf(std::string_view url) {
  std::size_t begin = 0;
  const std::size_t scheme = url.find("://");
  if (scheme != std::string_view::npos && scheme < url.find_first_of(kAuthorityEnds)) {
    begin = scheme + 3;
  }
  const std::size_t end = std::min(url.find_first_of(kAuthorityEnds, begin), url.size());
  const std::string_view authority = url.substr(begin, end - begin);
  const std::size_t at = authority.rfind('@');
  return {begin, at == std::string_view::npos ? begin : begin + at + 1};
}

std::string ShownText(std::string_view text) { return Escaped(text, IsControl); }

std::string HighBytesEncoded(std::string_view text) { return Escaped(text, IsHigh); }

std::string ShownUrl(std::string_view url) {
  const TextSpan userInfo = UserInfoOf(url);
  return ShownText(url.substr(0, userInfo.begin)) + ShownText(url.substr(userInfo.end));
}

}  // namespace rz
