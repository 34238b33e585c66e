// Removing the files of the cache folder that the saved list no longer names.
#include "cache/unlisted_files.h"

#include <string>
#include <unordered_set>
#include <utility>

#include "cache/cache_folder.h"
#include "platform/file_system.h"
#include "platform/last_error.h"

namespace rz {

PruneOutcome RemoveUnlistedFiles(const CacheFolder& cache, const std::vector<std::string>& listed) {
  PruneOutcome outcome;
  const std::string& dir = cache.dir();
  if (!cache.locked() || dir.empty()) {
    outcome.listed = false;
    return outcome;
  }
  // A file is kept by the names it is cached under, compared as the file system compares them,
  // and by the long name a listed short name reaches: the listing reports long names only.
  std::unordered_set<std::string> kept;
  kept.reserve(listed.size() * 2);
  for (const std::string& name : listed) {
    kept.insert(platform::FileNameKey(name));
    const std::string reached = cache.Aliases(name);
    if (!reached.empty()) kept.insert(platform::FileNameKey(reached));
  }

  std::vector<platform::FolderEntry> entries;
  platform::ForgetLastError();
  // Listed without the trailing separator, which Windows does not take before its pattern.
  outcome.listed = platform::ListFolder(dir.substr(0, dir.size() - 1).c_str(), entries);
  bool removedAny = false;
  for (platform::FolderEntry& entry : entries) {
    if (entry.kind != platform::EntryKind::kFile ||
        platform::SameFileName(entry.name, CacheFolder::kFileListName) ||
        kept.count(platform::FileNameKey(entry.name)) != 0) {
      continue;
    }
    UnlistedFile file;
    file.name = std::move(entry.name);
    file.size = entry.size;
    std::string path;
    if (!cache.FinalPath(file.name, path)) {
      file.fate = UnlistedFile::Fate::kPathTooLong;
    } else if ((file.error = platform::DeleteEntry(path.c_str())) != 0) {
      file.fate = UnlistedFile::Fate::kRefused;
    } else {
      removedAny = true;
    }
    outcome.files.push_back(std::move(file));
  }
  // A power cut after the call must not bring back a file the host was told is gone.
  // (A listing's reason, noted first, is kept for its own line.)
  if (removedAny) {
    if (outcome.listed) platform::ForgetLastError();
    outcome.flushed = platform::SyncFolder(dir.c_str());
  }
  return outcome;
}

}  // namespace rz
