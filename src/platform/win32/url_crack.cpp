// URL cracking through WinINet's InternetCrackUrlW, on the UTF-16 form of the library's UTF-8
// text: the ANSI call would read the UTF-8 bytes in the system's code page.
#include "platform/url_crack.h"

#include <windows.h>
#include <wininet.h>

#include <exception>
#include <string_view>

#include "platform/win32/com_util.h"

namespace rz::platform {
namespace {

// Where the first `units` UTF-16 units of `wide` end in its UTF-8 form. Components start and end
// at ASCII characters, so no character is ever split.
std::size_t Utf8Offset(const std::wstring& wide, std::size_t units) {
  return win32::ToUtf8(std::wstring_view(wide).substr(0, units)).size();
}

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
  std::wstring wide;
  try {
    wide = win32::FromUtf8(url);
  } catch (const std::exception&) {
    return false;
  }
  URL_COMPONENTSW parts{};
  // Its size differs between 32- and 64-bit builds, and a wrong one makes the call fail.
  parts.dwStructSize = sizeof(URL_COMPONENTSW);
  // Non-zero lengths with null pointers ask for pointers into the URL itself.
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  if (!InternetCrackUrlW(wide.c_str(), 0, 0, &parts)) return false;
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return false;
  const wchar_t* begin = wide.c_str();
  if (parts.lpszHostName < begin || parts.lpszHostName >= begin + wide.size()) return false;
  const auto hostUnits = static_cast<std::size_t>(parts.lpszHostName - begin);
  if (parts.dwHostNameLength > wide.size() - hostUnits) return false;
  out.hostOffset = Utf8Offset(wide, hostUnits);
  out.host = url.substr(out.hostOffset,
                        Utf8Offset(wide, hostUnits + parts.dwHostNameLength) - out.hostOffset);
  out.port = parts.nPort;
  // Extra information was not asked for apart, so whatever follows the path's start belongs to
  // it; a URL without a path may leave the pointer null.
  const wchar_t* path = parts.lpszUrlPath;
  const bool pathInside =
      path != nullptr && path >= begin + hostUnits && path <= begin + wide.size();
  out.pathOffset =
      pathInside ? Utf8Offset(wide, static_cast<std::size_t>(path - begin)) : url.size();
  return url[out.hostOffset] != '[' || BracketedHost(url, parts.nScheme, out);
}

}  // namespace rz::platform
