// The host's executable, found through GetModuleFileNameW with no module handle.
#include "platform/module_path.h"

#include <windows.h>

#include <exception>
#include <vector>

#include "platform/win32/com_util.h"

namespace rz::platform {

const char kPathSeparator = '\\';

std::string ExecutablePath() {
  // The wide call reports folders the ANSI code page cannot spell. Its buffer holds the longest
  // path Windows has, so a long install folder is reported whole and then refused by the
  // bounded path building rather than cut here.
  std::vector<wchar_t> buffer(32768);
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  // A result equal to the buffer size means the name was cut; a cut name is no path at all.
  if (n == 0 || n >= buffer.size()) return {};
  try {
    return win32::ToUtf8(std::wstring_view(buffer.data(), n));
  } catch (const std::exception&) {
    return {};  // a name with a lone surrogate has no UTF-8 form
  }
}

}  // namespace rz::platform
