// Runs the fetches of one download pass on a small pool of threads, up to a fixed number in
// flight, started in list order; the first failure starts no further fetch.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "cache/cache_folder.h"

namespace rz {

// At most this many fetches are in flight, each on its own connection and its own thread, so at
// most this many connections to any one host. Eight, the most a polite client opens to one host:
// each small file costs a new connection and at least three round trips, so a pass of many small
// files on a slow link is bound by how many wait at once. On a link of 50 ms and 100 Mbit/s, 200
// files of 16 KiB took 11.8 s with 4, 8.1 s with 6 and 7.0 s with 8 on a loaded machine (curl
// with 8 in parallel on kept-alive connections: 3.0 to 3.4 s in the same runs).
inline constexpr int kFetchesInFlight = 8;

class FetchScheduler {
 public:
  // The file-system key of the name entry `index` is cached under: two entries of one key are
  // never settled at once.
  using KeyOf = std::function<std::string(std::size_t index)>;
  // Settles entry `index`: true when its file is present or was fetched and staged. It probes the
  // cache (CacheFolder::IsSettled) once its checks have passed, which lets the next entry start.
  using Settle = std::function<bool(std::size_t index)>;

  // Settles entries 0 to count-1 of `cache`'s pass, up to kFetchesInFlight at once. True when
  // every entry settled; false once one failed: none after it starts, those in flight finish.
  // The caller's thread is the first worker; the others start as fetches begin, so a pass over
  // present files starts no thread. An exception thrown by `settle` is rethrown here, on the
  // caller's thread, once every worker has finished. A system that gives no thread at all still
  // gets its pass, one at a time.
  static bool Run(std::size_t count, CacheFolder& cache, const KeyOf& keyOf, const Settle& settle);
};

}  // namespace rz
