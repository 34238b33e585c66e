// The system's words for a Win32 code, for the Windows files that report one as text.
#pragma once

#include <windows.h>

#include <string>

#include "platform/last_error.h"

namespace rz::platform::win32 {

// "Win32 error 12029: <the system's text>", as a noted system error reads; the thread's kept
// reason is left as it was.
inline std::string SystemErrorText(DWORD error) {
  return platform::SystemErrorText(static_cast<long>(error));
}

// "<source> 0x8009030C: <the system's text>", for a status code a system library returned (an
// HRESULT, a SECURITY_STATUS); `source` names the library, as in "SSPI".
std::string ResultText(const char* source, long code);

}  // namespace rz::platform::win32
