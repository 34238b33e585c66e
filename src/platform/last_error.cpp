// The parts of the failure-reason record that are the same on every platform; the codes and
// their words are each platform's own (posix/ and win32/last_error.cpp).
#include "platform/last_error.h"

#include "platform/last_error_store.h"

namespace rz::platform {

void NoteResultCode(long hresult) { detail::Note(detail::ErrorKind::kResult, hresult); }
void NoteErrorText(std::string_view text) { detail::Note(detail::ErrorKind::kText, 0, text); }

void ForgetLastError() { detail::Current() = detail::LastError{}; }

namespace detail {

LastError Take() {
  const LastError error = Current();
  ForgetLastError();
  return error;
}

}  // namespace detail
}  // namespace rz::platform
