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
  return true;
}

}  // namespace rz::platform
