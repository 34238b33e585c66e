// The boot identity on Windows: the time the machine started, in minutes since 1601, worked out
// from the clock and the time since boot. A clock change or a minute boundary crossed between the
// two readings gives another value; that only costs unsynced bytes, never trusts wrong ones.
#include "platform/boot_identity.h"

#include <windows.h>

#include <cstdint>

namespace rz::platform {

std::string BootIdentity() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t nowTicks =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const std::uint64_t nowMs = nowTicks / 10000u;
  const std::uint64_t upMs = GetTickCount64();
  if (upMs > nowMs) return {};
  return "boot-minute-" + std::to_string((nowMs - upMs) / 60000u);
}

}  // namespace rz::platform
