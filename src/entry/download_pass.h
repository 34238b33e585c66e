// The pass that fetches every listed ad file missing from the cache folder.
#pragma once

#include "cache/cache_folder.h"
#include "service/ad_list.h"

namespace rz {

// Walks the list in order and fetches each absent file into `cache`, which the caller has locked.
// True when every entry is present or was fetched; false at the first entry that fails (later
// entries are not looked at). What was fetched before a failure is committed all the same, and
// partial data kept for names the list no longer holds is removed whatever the outcome.
bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache);

}  // namespace rz
