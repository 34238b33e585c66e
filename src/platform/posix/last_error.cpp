// Failure reasons on Linux: errno values and their strerror text.
#include "platform/last_error.h"

#include <cerrno>
#include <cstring>

#include "platform/last_error_store.h"

namespace rz::platform {
namespace {

using detail::ErrorKind;

std::string ErrnoText(long code) {
  std::array<char, 128> buffer{};
  // The GNU strerror_r returns the text, which may or may not be in the buffer.
  const char* text = ::strerror_r(static_cast<int>(code), buffer.data(), buffer.size());
  return "errno " + std::to_string(code) + ": " + (text != nullptr ? text : "unknown");
}

}  // namespace

void NoteRuntimeError() { detail::Note(ErrorKind::kRuntime, errno); }
void NoteSocketError() { detail::Note(ErrorKind::kSocket, errno); }
void NoteSystemError() { detail::Note(ErrorKind::kSystem, errno); }
std::string TakeLastError() {
  const detail::LastError error = detail::Take();
  switch (error.kind) {
    case ErrorKind::kNone:
      return {};
    case ErrorKind::kRuntime:
    case ErrorKind::kSocket:
    case ErrorKind::kSystem:
      return ErrnoText(error.code);
    case ErrorKind::kResult:
      return "result " + std::to_string(error.code);
    case ErrorKind::kText:
      return error.text.data();
  }
  return {};
}

std::string SystemErrorText(long code) { return ErrnoText(code); }

std::string SocketErrorText(int code) { return ErrnoText(code); }

}  // namespace rz::platform
