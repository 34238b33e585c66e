// One entry's fetch into the cache: resume or whole, following redirects.
#pragma once

#include <string>

#include "cache/cache_folder.h"
#include "download/status_codes.h"

namespace rz {

// At most this many redirects are followed for one request of an entry; the next fails it.
inline constexpr int kMaxRedirects = 10;

// Asks for the entry at `entryUrl` (an absolute http or https URL) into the staged file of
// `fileName`, then hands it to the cache's next commit as `localPath`. kOk, or the status that
// failed the entry.
Status Fetch(CacheFolder& cache, const std::string& entryUrl, const std::string& fileName,
             const std::string& localPath);

}  // namespace rz
