// The files of the cache folder that the saved list no longer names, and their removal: the
// housekeeping a host opts into so that a cache fed for years does not fill its disk. It runs
// while the refresh that saved the list still holds the folder's lock, so no overlapping call can
// find a file present and then see it go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rz {

class CacheFolder;

struct UnlistedFile {
  enum class Fate {
    kRemoved,
    kRefused,      // the system refused the removal; `error` says why, and the file stays
    kPathTooLong,  // its path does not fit 259 bytes, so the library never builds it; it stays
  };
  std::string name;
  std::int64_t size = 0;  // as listed, before the removal
  Fate fate = Fate::kRemoved;
  long error = 0;  // the system's code for kRefused (errno, GetLastError)
};

struct PruneOutcome {
  std::vector<UnlistedFile> files;  // every unlisted regular file found, removed or not
  bool listed = true;   // false: the folder could not be read to its end (the reason is noted)
  bool flushed = true;  // false: the removals could not be made durable (the reason is noted)
};

// Removes every regular file at the top of the cache folder that no name in `listed` reaches, as
// the cache maps an entry to its file: the file system's comparison of names (case-insensitive on
// Windows), and on Windows a listed 8.3 short name keeps the file it reaches. Folders (the staging
// folder included), links and devices are never touched, nor is FileList.xml; nothing outside the
// folder is ever reached, a link being removed by none and followed by none. The folder is flushed
// after a removal, as after a commit. Needs the lock: without it nothing is removed.
PruneOutcome RemoveUnlistedFiles(const CacheFolder& cache, const std::vector<std::string>& listed);

}  // namespace rz
