// One entry's fetch into the cache: resume or whole, following redirects.
#pragma once

#include <optional>
#include <string>

#include "cache/cache_folder.h"
#include "download/connection_pool.h"
#include "download/pass_routes.h"
#include "download/route.h"
#include "download/status_codes.h"

namespace rz {

// At most this many redirects are followed for one request of an entry; the next fails it.
inline constexpr int kMaxRedirects = 10;

// The proxy a failed fetch last went through, for its failure line: its name ("host:port"),
// empty when the fetch went direct, and the status it answered when it refused; or, when the
// setting (or the script's answer) could not be used at all, its source and why.
struct ProxyUse {
  std::string name;
  int status = 0;
  std::optional<Unusable> unusable;
};

// Asks for the entry at `entryUrl` (an absolute http or https URL) into the staged file of
// `fileName`, then hands it to the cache's next commit as `localPath`. Each request takes the
// routes `routes` give its URL, in order, until one connects; an https request takes a kept
// connection from `pool` when one fits, and leaves its own there when the response allows. kOk, or
// the status that failed the entry.
Status Fetch(CacheFolder& cache, PassRoutes& routes, ConnectionPool& pool,
             const std::string& entryUrl, const std::string& fileName, const std::string& localPath,
             ProxyUse& proxy);

}  // namespace rz
