// The pass that fetches every listed ad file missing from the cache folder.
#pragma once

#include "cache/cache_folder.h"
#include "service/ad_list.h"

namespace rz {

// At most this many fetches are in flight, each on its own connection and its own thread, so at
// most this many connections to any one host. Eight, the most a polite client opens to one host:
// each small file costs a new connection and at least three round trips, so a pass of many small
// files on a slow link is bound by how many wait at once. On a link of 50 ms and 100 Mbit/s, 200
// files of 16 KiB took 11.8 s with 4, 8.1 s with 6 and 7.0 s with 8 on a loaded machine (curl
// with 8 in parallel on kept-alive connections: 3.0 to 3.4 s in the same runs).
inline constexpr int kFetchesInFlight = 8;

// Walks the list in order and fetches each absent file into `cache`, which the caller has locked,
// up to kFetchesInFlight at once, started in list order. True when every entry is present or was
// fetched; false once an entry fails: no entry after it starts, those already in flight finish.
// What was fetched, before a failure or by the fetches that finished after it, is committed all
// the same. The calling thread only waits; the fetches touch no COM object.
bool DownloadMissingAds(const AdUrlList& list, CacheFolder& cache);

}  // namespace rz
