// The cache folder beside the host's executable, and the paths built in it.
#include "cache/cache_paths.h"

#include "platform/module_path.h"

namespace rz {
namespace {

// "Tavrin" + separator + "RazaRa" + separator, with the platform's own separator.
std::string CacheSubPath() {
  std::string sub = "Tavrin";
  sub += platform::kPathSeparator;
  sub += "RazaRa";
  sub += platform::kPathSeparator;
  return sub;
}

// Joins `head` and `tail` into `out` when the result fits kMaxPathBytes; `out` is left untouched
// otherwise.
bool JoinBounded(const std::string& head, const std::string& tail, std::string& out) {
  if (head.size() > kMaxPathBytes || tail.size() > kMaxPathBytes - head.size()) return false;
  out = head + tail;
  return true;
}

}  // namespace

std::int32_t GetModuleDir(std::string& dir, std::size_t capacity) {
  const std::string path = platform::ExecutablePath();
  // Windows accepts both separators; elsewhere the two characters are the same '/'.
  const char separators[] = {platform::kPathSeparator, '/', '\0'};
  const std::size_t cut = path.find_last_of(separators);
  if (cut == std::string::npos) return 1;
  const std::size_t length = cut + 1;
  if (length >= capacity) return 1;
  dir.assign(path, 0, length);
  return 0;
}

bool CacheDir(std::string& dir) {
  std::string moduleDir;
  if (GetModuleDir(moduleDir) != 0) return false;
  return JoinBounded(moduleDir, CacheSubPath(), dir);
}

bool CachedFilePathIn(const std::string& cacheDir, const std::string& fileName, std::string& path) {
  return JoinBounded(cacheDir, fileName, path);
}

}  // namespace rz
