// A small URL cracker with the contract of InternetCrackUrlA as the download pass uses it:
// "scheme://[user[:password]@]host[:port][/path...]", host and port out, the port defaulting to
// the scheme's well-known one. The host may be a bracketed IPv6 literal ("[::1]").
#include "platform/url_crack.h"

#include <cctype>

namespace rz::platform {
namespace {

bool IsSchemeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
}

bool SchemeIs(const std::string& url, std::size_t length, const char* name) {
  std::size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i >= length || std::tolower(static_cast<unsigned char>(url[i])) != name[i]) return false;
  }
  return i == length;
}

std::uint16_t DefaultPort(const std::string& url, std::size_t schemeLength) {
  if (SchemeIs(url, schemeLength, "http")) return 80;
  if (SchemeIs(url, schemeLength, "https")) return 443;
  if (SchemeIs(url, schemeLength, "ftp")) return 21;
  return 0;  // unknown scheme: the downloader takes 0 as 80
}

// The decimal port in url[begin, end): 1 to 5 digits, 1..65535. An empty port ("host:/") gives 0,
// as WinINet reports it; the downloader then takes port 80.
bool ParsePort(const std::string& url, std::size_t begin, std::size_t end, std::uint16_t& port) {
  if (begin == end) {
    port = 0;
    return true;
  }
  if (end - begin > 5) return false;
  std::uint32_t value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (url[i] < '0' || url[i] > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(url[i] - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool CrackUrl(const std::string& url, CrackedUrl& out) {
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) return false;
  if (std::isalpha(static_cast<unsigned char>(url[0])) == 0) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    if (!IsSchemeChar(url[i])) return false;
  }

  const std::size_t authorityBegin = colon + 3;
  std::size_t authorityEnd = url.find_first_of("/?#", authorityBegin);
  if (authorityEnd == std::string::npos) authorityEnd = url.size();

  std::size_t hostBegin = authorityBegin;
  const std::size_t at = url.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
  if (at != std::string::npos && at >= authorityBegin) hostBegin = at + 1;

  std::size_t hostEnd = authorityEnd;
  std::uint16_t port = DefaultPort(url, colon);
  // A bracketed IPv6 literal is the host with its brackets, as WinINet reports it; its colons are
  // not the port's.
  std::size_t portFrom = hostBegin;
  if (hostBegin < authorityEnd && url[hostBegin] == '[') {
    const std::size_t close = url.find(']', hostBegin);
    if (close == std::string::npos || close >= authorityEnd || close == hostBegin + 1) return false;
    if (close + 1 < authorityEnd && url[close + 1] != ':') return false;
    hostEnd = close + 1;
    portFrom = close + 1;
  }
  const std::size_t portColon = url.find(':', portFrom);
  if (portColon != std::string::npos && portColon < authorityEnd) {
    hostEnd = portColon;
    if (!ParsePort(url, portColon + 1, authorityEnd, port)) return false;
  }
  if (hostEnd == hostBegin) return false;

  out.host.assign(url, hostBegin, hostEnd - hostBegin);
  out.port = port;
  out.hostOffset = hostBegin;
  out.pathOffset = authorityEnd;
  return true;
}

}  // namespace rz::platform
