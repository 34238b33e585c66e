// Where the host's executable lives.
#pragma once

#include <string>

namespace rz::platform {

// Full path of the executable file of the host process (not of this library):
// GetModuleFileNameA(NULL) on Windows, /proc/self/exe on Linux. Empty on failure.
std::string ExecutablePath();

// The separator that ends directories in the paths this system builds.
extern const char kPathSeparator;

}  // namespace rz::platform
