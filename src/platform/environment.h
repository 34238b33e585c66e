// The process's environment variables, read when asked: a host may set or clear one between two
// calls, and the next call follows it.
#pragma once

#include <string>

namespace rz::platform {

// The value of the variable `name`, as UTF-8 (GetEnvironmentVariableW on Windows, so a host that
// sets it with the system's call is seen as well as one that uses the C runtime's); empty when it
// is not set.
std::string EnvironmentValue(const char* name);

}  // namespace rz::platform
