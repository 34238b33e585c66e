// Environment variables with GetEnvironmentVariableW: the process's own block, which both the
// system's call and the C runtime's _putenv change.
#include "platform/environment.h"

#include <windows.h>

#include <exception>
#include <string>

#include "platform/win32/com_util.h"

namespace rz::platform {

std::string EnvironmentValue(const char* name) {
  std::wstring wideName;
  try {
    wideName = win32::FromUtf8(name);
  } catch (const std::exception&) {
    return {};
  }
  // The size asked for includes the terminator; a value that grew between the two calls is read
  // again at its new size.
  std::wstring value;
  DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  for (int tries = 0; needed != 0 && tries < 3; ++tries) {
    value.assign(needed, L'\0');
    const DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), needed);
    if (got < needed) {
      value.resize(got);
      try {
        return win32::ToUtf8(value);
      } catch (const std::exception&) {
        return {};
      }
    }
    needed = got;
  }
  return {};
}

}  // namespace rz::platform
