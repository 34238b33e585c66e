// Failure reasons on Windows: Winsock and Win32 codes and HRESULTs with their FormatMessage
// text, and errno values of the C runtime's file streams.
#include "platform/last_error.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "platform/last_error_store.h"
#include "platform/win32/com_util.h"
#include "platform/win32/last_error.h"

namespace rz::platform {
namespace {

using detail::ErrorKind;

// WinINet's codes (12001..12175) have their texts in wininet.dll, not in the system's table;
// an HRESULT made from one of them is looked up there as well.
bool IsWinInetCode(DWORD code) {
  const DWORD plain = HRESULT_FACILITY(code) == FACILITY_WIN32 ? HRESULT_CODE(code) : code;
  return plain >= 12001 && plain <= 12175;
}

// URL moniker results (FACILITY_INTERNET) that MSXML's request object returns; the system's
// message table has no text for them.
const char* InternetResultText(DWORD code) {
  switch (code) {
    case 0x800C0002:
      return "the URL is not valid";
    case 0x800C0003:
      return "no session could be opened";
    case 0x800C0004:
      return "cannot connect to the server";
    case 0x800C0005:
      return "the server or resource was not found";
    case 0x800C0006:
      return "the object was not found";
    case 0x800C0007:
      return "the data is not available";
    case 0x800C0008:
      return "the download failed";
    case 0x800C000E:
      return "a security problem";
    default:
      return nullptr;
  }
}

std::string MessageText(DWORD code) {
  if (const char* text = InternetResultText(code)) return text;
  // Wide, then UTF-8: the line it goes into names files in UTF-8, and a system message in the
  // ANSI code page of a localised Windows would garble them.
  std::array<wchar_t, 256> buffer{};
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  DWORD lookup = code;
  if (IsWinInetCode(code)) {
    source = GetModuleHandleW(L"wininet.dll");
    if (source != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    if (HRESULT_FACILITY(code) == FACILITY_WIN32) lookup = HRESULT_CODE(code);
  }
  DWORD length = FormatMessageW(flags, source, lookup, 0, buffer.data(),
                                static_cast<DWORD>(buffer.size()), nullptr);
  // The texts end in a full stop and a line break; the line they go into has its own end.
  while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' ||
                        buffer[length - 1] == L' ' || buffer[length - 1] == L'.')) {
    --length;
  }
  try {
    if (length > 0) return win32::ToUtf8(std::wstring_view(buffer.data(), length));
  } catch (const std::exception&) {
  }
  return "no text for this code";
}

std::string Hex(long value) {
  std::array<char, 16> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "0x%08lX", static_cast<unsigned long>(value));
  return buffer.data();
}

}  // namespace

void NoteRuntimeError() { detail::Note(ErrorKind::kRuntime, errno); }
void NoteSocketError() { detail::Note(ErrorKind::kSocket, ::WSAGetLastError()); }
void NoteSystemError() { detail::Note(ErrorKind::kSystem, static_cast<long>(::GetLastError())); }
std::string TakeLastError() {
  const detail::LastError error = detail::Take();
  switch (error.kind) {
    case ErrorKind::kNone:
      return {};
    case ErrorKind::kRuntime:
      return "errno " + std::to_string(error.code) + ": " +
             std::strerror(static_cast<int>(error.code));
    case ErrorKind::kSocket:
      return SocketErrorText(static_cast<int>(error.code));
    case ErrorKind::kSystem:
      return SystemErrorText(error.code);
    case ErrorKind::kResult:
      return win32::ResultText("HRESULT", error.code);
    case ErrorKind::kText:
      return error.text.data();
  }
  return {};
}

std::string win32::ResultText(const char* source, long code) {
  return std::string(source) + " " + Hex(code) + ": " + MessageText(static_cast<DWORD>(code));
}

std::string SystemErrorText(long code) {
  const DWORD system = static_cast<DWORD>(code);
  return "Win32 error " + std::to_string(system) + ": " + MessageText(system);
}

std::string SocketErrorText(int code) {
  return "Winsock error " + std::to_string(code) + ": " + MessageText(static_cast<DWORD>(code));
}

}  // namespace rz::platform
