// The pass that fetches every listed ad file missing from the cache folder.
#pragma once

#include <string>

#include "service/ad_list.h"

namespace rz {

// Walks the list in order and fetches each absent file into `cacheDir` (ending in the separator).
// True when every entry is present or was fetched; false at the first entry that fails (later
// entries are not looked at), and at the first entry when `cacheDir` is empty.
bool DownloadMissingAds(const AdUrlList& list, const std::string& cacheDir);

}  // namespace rz
