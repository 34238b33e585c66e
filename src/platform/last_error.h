// The platform's reason for the latest failure on this thread (an errno value, a Winsock or Win32
// code, an HRESULT, or a library's own text). It is kept for the library's diagnostic lines only:
// nothing decides anything by it.
//
// The first failure noted after ForgetLastError is kept and later ones are ignored, because what
// follows a failure is clean-up whose own errors would hide the cause.
#pragma once

#include <string>
#include <string_view>

namespace rz::platform {

// errno of the C runtime, now (file streams on both platforms).
void NoteRuntimeError();
// The socket library's last error, now: WSAGetLastError on Windows, errno elsewhere.
void NoteSocketError();
// The system's last error, now: GetLastError on Windows, errno elsewhere.
void NoteSystemError();
// An HRESULT that a platform object returned (Windows only; elsewhere it is noted as a number).
void NoteResultCode(long hresult);
// A reason in words, from a library that has its own (libcurl); cut to a bounded length.
void NoteErrorText(std::string_view text);

void ForgetLastError();

// The kept reason in words, such as "errno 111: Connection refused" or "Winsock error 10061: No
// connection could be made ...", and forgets it; empty when nothing was noted.
std::string TakeLastError();

// The words for a code the system returned (errno on Linux, GetLastError on Windows), as
// TakeLastError gives them for a noted system error.
std::string SystemErrorText(long code);

// The words for a positive socket code that the download engine passed through.
std::string SocketErrorText(int code);

}  // namespace rz::platform
