// Placeholder until the real debug output file lands.
#include "platform/debug_output.h"

namespace rz::platform {
void DebugOutput(std::string_view) {}
std::string_view UnknownLengthProgressText() { return {}; }
}  // namespace rz::platform
