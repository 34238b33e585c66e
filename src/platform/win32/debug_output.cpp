// Debug output through OutputDebugStringA; the fixed progress text in the ANSI code page 936.
#include "platform/debug_output.h"

#include <windows.h>

#include <string>

namespace rz::platform {
namespace {

// "文件大小小于3842b，无法计算下载百分比!" in GBK: 38 bytes. The literal is split where a hex
// escape would otherwise swallow the digits that follow it.
constexpr char kUnknownLengthGbk[] =
    "\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1\xd0\xa1\xd3\xda"
    "3842b"
    "\xa3\xac\xce\xde\xb7\xa8\xbc\xc6\xcb\xe3\xcf\xc2\xd4\xd8\xb0\xd9\xb7\xd6\xb1\xc8"
    "!";
static_assert(sizeof kUnknownLengthGbk - 1 == 38, "the GBK text is 38 bytes");

}  // namespace

void DebugOutput(std::string_view text) {
  const std::string line(text);  // OutputDebugStringA needs a terminated text
  ::OutputDebugStringA(line.c_str());
}

std::string_view UnknownLengthProgressText() {
  return {kUnknownLengthGbk, sizeof kUnknownLengthGbk - 1};
}

}  // namespace rz::platform
