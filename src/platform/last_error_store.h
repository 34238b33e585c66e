// The per-thread record behind platform/last_error.h, shared by the two platform files.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace rz::platform::detail {

enum class ErrorKind : unsigned char { kNone, kRuntime, kSocket, kSystem, kResult, kText };

struct LastError {
  ErrorKind kind = ErrorKind::kNone;
  long code = 0;
  std::array<char, 256> text{};  // kText only; always terminated
};

inline LastError& Current() {
  thread_local LastError error;
  return error;
}

// Keeps the first failure only.
inline void Note(ErrorKind kind, long code, std::string_view text = {}) {
  LastError& error = Current();
  if (error.kind != ErrorKind::kNone) return;
  error.kind = kind;
  error.code = code;
  const std::size_t length =
      text.size() < error.text.size() - 1 ? text.size() : error.text.size() - 1;
  text.copy(error.text.data(), length);
  error.text[length] = '\0';
}

// The record as it stands, forgotten on the way out.
LastError Take();

}  // namespace rz::platform::detail
