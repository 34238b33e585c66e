// What win32/last_error.cpp offers the other Windows files besides platform/last_error.h.
#pragma once

#include <windows.h>

#include <string>

namespace rz::platform::win32 {

// "Win32 error 12029: <the system's text>", as a noted system error reads; the thread's kept
// reason is left as it was.
std::string SystemErrorText(DWORD error);

}  // namespace rz::platform::win32
