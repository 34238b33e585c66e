// Where the host's executable lives.
#pragma once

#include <string>

namespace rz::platform {

// Full path of the executable file of the host process (not of this library):
// GetModuleFileNameW(NULL) as UTF-8 on Windows, the bytes of /proc/self/exe on Linux. Empty on
// failure.
std::string ExecutablePath();

// The separator that ends directories in the paths this system builds.
extern const char kPathSeparator;

}  // namespace rz::platform
