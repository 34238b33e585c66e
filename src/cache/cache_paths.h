// The cache folder beside the host's executable, and the paths built in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rz {

// Paths, host names and list entries hold at most this many bytes (a 260-byte buffer).
inline constexpr std::size_t kMaxPathBytes = 259;

// The directory of the host's executable, ending in the separator. 0 on success, 1 when it
// would not fit `capacity` bytes with its terminator (`dir` is then left untouched).
std::int32_t GetModuleDir(std::string& dir, std::size_t capacity = kMaxPathBytes + 1);

// Module directory + "Tavrin/RazaRa/" (backslashes on Windows). False when it would not fit.
bool CacheDir(std::string& dir);
// cacheDir (ending in the separator, as CacheDir gives it) + fileName. False when it would not
// fit; `path` is then left untouched.
bool CachedFilePathIn(const std::string& cacheDir, const std::string& fileName, std::string& path);

}  // namespace rz
