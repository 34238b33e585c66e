// URL cracking through WinINet's InternetCrackUrlA.
#include "platform/url_crack.h"

#include <windows.h>
#include <wininet.h>

namespace rz::platform {

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
  return true;
}

}  // namespace rz::platform
