// The host's executable, found through GetModuleFileNameA with no module handle.
#include "platform/module_path.h"

#include <windows.h>

#include <array>

namespace rz::platform {

const char kPathSeparator = '\\';

std::string ExecutablePath() {
  std::array<char, MAX_PATH> buffer{};
  const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  // A result equal to the buffer size means the name was cut; a cut name is no path at all.
  if (n == 0 || n >= buffer.size()) return {};
  return std::string(buffer.data(), n);
}

}  // namespace rz::platform
