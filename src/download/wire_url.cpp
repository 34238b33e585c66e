#include "download/wire_url.h"

#include <algorithm>
#include <utility>

#include "download/ascii_text.h"
#include "download/url_reference.h"
#include "platform/url_crack.h"

namespace rz {
namespace {

constexpr std::string_view kAuthorityEnds = "/?#";

void SpacesAsPlus(std::string& text) {
  for (char& c : text) {
    if (c == ' ') c = '+';
  }
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

Status TakeApart(const std::string& url, WireUrl& out) {
  if (ControlCharacterAt(url) != std::string_view::npos) return kUnsafeUrl;
  // Servers answer a target with a fragment 400 or 404. Cut before the cracker sees it, it is
  // in no part of any request, the proxy's URL included.
  const std::string bare = url.substr(0, url.find('#'));
  platform::CrackedUrl parts;
  if (!platform::CrackUrl(bare, parts) || parts.host.empty()) return kBadTarget;
  // The user-info cut from the proxy's URL must be exactly what the cracker left out of the
  // host, or the proxy could be asked for another host than the Host line names.
  // A second '@' (an unencoded one in the password) is read by crackers in different ways.
  const TextSpan userInfo = UserInfoOf(bare);
  if (parts.hostOffset != userInfo.end) return kBadTarget;
  if (userInfo.end > userInfo.begin && bare.find('@', userInfo.begin) + 1 != userInfo.end) {
    return kBadTarget;
  }

  WireUrl wire;
  wire.host = parts.host;
  // An IPv6 literal is written in brackets, and a cracker that reports it without them gets them
  // back here.
  if (wire.host.find(':') != std::string::npos && wire.host[0] != '[') {
    wire.host = "[" + wire.host + "]";
  }
  wire.tls = SchemeOf(bare) == "https";
  wire.port = wire.tls && parts.port == 0 ? 443 : parts.port;
  // The path with any query after it. Servers must take the whole URL as well, yet several in
  // common use refuse it or look for it as a path.
  wire.target = bare.substr(parts.pathOffset);
  if (wire.target.empty() || wire.target[0] != '/') wire.target.insert(0, "/");
  // The proxy's URL has its spaces made '+' as the direct form has them in the path, and its
  // scheme in lower case, whatever case the entry or Location wrote it in.
  wire.absolute = bare;
  wire.absolute.erase(userInfo.begin, userInfo.end - userInfo.begin);
  SpacesAsPlus(wire.absolute);
  SchemeInLowerCase(wire.absolute);
  wire.hostOffset = parts.hostOffset;
  out = std::move(wire);
  return kOk;
}

}  // namespace rz
