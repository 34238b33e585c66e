// The pass that fetches every listed ad file missing from the cache folder.
#pragma once

#include <string>

#include "cache/cache_folder.h"
#include "entry/fetch_scheduler.h"
#include "service/ad_list.h"

namespace rz {

// Walks the list in order and fetches each absent file into `cache`, which the caller has locked,
// up to kFetchesInFlight at once, started in list order. True when every entry is present or was
// fetched and took its name; false once an entry fails or a fetched file cannot take its name: no
// entry after it starts, those already in flight finish. What was fetched, before a failure or by
// the fetches that finished after it, is committed all the same, each file on its own, and
// partial data kept for names the list no longer holds is removed whatever the outcome. The
// calling thread only waits; the fetches touch no COM object (a setup script runs on a thread of
// the pass's own).
bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache);

// The file name the pass caches `entry` under: the text after the last '/' of its request URL
// (backslashes read as slashes). Whatever else keeps files by the list decides by it.
std::string CachedNameOf(const std::string& entry);

}  // namespace rz
