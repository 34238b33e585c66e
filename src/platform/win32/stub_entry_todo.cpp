// Placeholder until the real module path, file system and URL cracker files land.
#include "platform/file_system.h"
#include "platform/module_path.h"
#include "platform/url_crack.h"

namespace rz::platform {
std::string ExecutablePath() { return {}; }
const char kPathSeparator = '\\';
PathState ProbePath(const char*) { return PathState::kAbsent; }
bool ReplaceFile(const char*, const char*) { return false; }
bool RemoveFile(const char*) { return false; }
bool CrackUrl(const std::string&, CrackedUrl&) { return false; }
}  // namespace rz::platform
