// URL cracking through WinINet's InternetCrackUrlA.
#include "platform/url_crack.h"

#include <windows.h>
#include <wininet.h>

namespace rz::platform {
namespace {

// An IPv6 literal with its brackets, and the port after it. Wine's cracker splits a literal
// without a port at its first colon ("[fe80::1]" gives "[fe80:" and port 1), so the host and the
// port are read from the URL itself between the host's start and the path.
bool BracketedHost(const std::string& url, INTERNET_SCHEME scheme, CrackedUrl& out) {
  const std::size_t close = url.find(']', out.hostOffset);
  if (close == std::string::npos || close >= out.pathOffset) return false;
  out.host.assign(url, out.hostOffset, close + 1 - out.hostOffset);
  std::uint32_t port = 0;
  if (close + 1 < out.pathOffset) {
    if (url[close + 1] != ':' || out.pathOffset - close - 2 > 5) return false;
    for (std::size_t i = close + 2; i < out.pathOffset; ++i) {
      if (url[i] < '0' || url[i] > '9') return false;
      port = port * 10 + static_cast<std::uint32_t>(url[i] - '0');
    }
  } else {
    port = scheme == INTERNET_SCHEME_HTTP    ? INTERNET_DEFAULT_HTTP_PORT
           : scheme == INTERNET_SCHEME_HTTPS ? INTERNET_DEFAULT_HTTPS_PORT
           : scheme == INTERNET_SCHEME_FTP   ? INTERNET_DEFAULT_FTP_PORT
                                             : 0;
  }
  if (port > 65535) return false;
  out.port = static_cast<std::uint16_t>(port);
  return true;
}

}  // namespace

bool CrackUrl(const std::string& url, CrackedUrl& out) {
  URL_COMPONENTSA parts{};
  // Its size differs between 32- and 64-bit builds, and a wrong one makes the call fail.
  parts.dwStructSize = sizeof(URL_COMPONENTSA);
  // Non-zero lengths with null pointers ask for pointers into the URL itself.
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) return false;
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return false;
  const char* begin = url.c_str();
  if (parts.lpszHostName < begin || parts.lpszHostName >= begin + url.size()) return false;
  out.hostOffset = static_cast<std::size_t>(parts.lpszHostName - begin);
  if (parts.dwHostNameLength > url.size() - out.hostOffset) return false;
  out.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  out.port = parts.nPort;
  // Extra information was not asked for apart, so whatever follows the path's start belongs to
  // it; a URL without a path may leave the pointer null.
  const char* path = parts.lpszUrlPath;
  const bool pathInside =
      path != nullptr && path >= begin + out.hostOffset && path <= begin + url.size();
  out.pathOffset = pathInside ? static_cast<std::size_t>(path - begin) : url.size();
  return url[out.hostOffset] != '[' || BracketedHost(url, parts.nScheme, out);
}

}  // namespace rz::platform
