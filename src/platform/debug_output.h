// The platform's debug output: OutputDebugStringA on Windows; on Linux, stderr, but only when
// the environment variable RAZARA_DEBUG is non-empty.
#pragma once

#include <string_view>

namespace rz::platform {

void DebugOutput(std::string_view text);

// The fixed progress text for a response of unknown length, in the platform's 8-bit encoding
// (GBK bytes on Windows, UTF-8 on Linux).
std::string_view UnknownLengthProgressText();

}  // namespace rz::platform
