// The boot identity on Linux: the kernel's random boot id, made anew at every boot.
#include "platform/boot_identity.h"

#include <cstdio>
#include <memory>

namespace rz::platform {

std::string BootIdentity() {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen("/proc/sys/kernel/random/boot_id", "rb"), &std::fclose);
  if (!file) return {};
  char text[64] = {};
  const std::size_t read = std::fread(text, 1, sizeof text - 1, file.get());
  std::string id(text, read);
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  return id;
}

}  // namespace rz::platform
