// Debug output on Linux: stderr, one line per text, only while RAZARA_DEBUG is set and non-empty,
// so a host that never asked for it sees nothing.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace rz::platform {

void DebugOutput(std::string_view text) {
  const char* enabled = std::getenv("RAZARA_DEBUG");
  if (enabled == nullptr || *enabled == '\0') {
    return;
  }
  std::string line(text);
  line.push_back('\n');
  // One write per line keeps lines whole when other threads of the host write to stderr too.
  const char* next = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, next, left);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;  // diagnostics never fail the caller
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace rz::platform
