// Debug output through OutputDebugStringA. Its lines are UTF-8 whatever the ANSI code page is, as
// on Linux: a reader decodes every line the same way.
#include "platform/debug_output.h"

#include <windows.h>

#include <string>

namespace rz::platform {
void DebugOutput(std::string_view text) {
  const std::string line(text);  // OutputDebugStringA needs a terminated text
  ::OutputDebugStringA(line.c_str());
}

}  // namespace rz::platform
