// Environment variables with getenv.
#include "platform/environment.h"

#include <cstdlib>

namespace rz::platform {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace rz::platform
