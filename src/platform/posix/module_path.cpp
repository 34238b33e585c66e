// The host's executable, found through /proc/self/exe.
#include "platform/module_path.h"

#include <unistd.h>

#include <array>

namespace rz::platform {

const char kPathSeparator = '/';

std::string ExecutablePath() {
  // Longer than any path the cache can use, so a long install folder is reported whole and then
  // refused by the bounded path building rather than cut here.
  std::array<char, 4096> buffer{};
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace rz::platform
