// The platform's debug output: OutputDebugStringA on Windows; on Linux, stderr, but only when
// the environment variable RAZARA_DEBUG is non-empty.
#pragma once

#include <string_view>

namespace rz::platform {

// One line of UTF-8 text, on both platforms.
void DebugOutput(std::string_view text);

}  // namespace rz::platform
