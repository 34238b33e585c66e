// The refresh itself: query, download pass, save, into a cache folder the caller names.
#pragma once

#include <string>

namespace rz {

// One complete refresh for one card pair; a null pointer counts as an empty string. `cacheDir`
// is the cache folder, ending in the platform's separator; empty when it could not be worked out
// (the pass then fails at its first entry, and the save fails). Returns a RefreshResult.
int Refresh(const char* outsideCardId, const char* hardwareCardId, const char* serviceUrl,
            const std::string& cacheDir);

}  // namespace rz
