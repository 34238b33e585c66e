// One entry's fetch into the cache: resume or whole, following redirects. The pass hands it one
// plan of what to fetch and where it goes, and gets one outcome back, from which it writes the
// failure line.
#pragma once

#include <optional>
#include <string>

#include "cache/cache_folder.h"
#include "download/connection_pool.h"
#include "download/pass_routes.h"
#include "download/proxy_handshake.h"
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
  // A 407 that asked for a scheme: what it offered, and why the request did not get through.
  std::optional<AuthFailure> auth;
};

// What one pass's fetches share: the cache that stages and commits their files, the routes of
// their URLs, and the kept https connections.
struct FetchPass {
  CacheFolder& cache;
  PassRoutes& routes;
  ConnectionPool& pool;
};

// One entry to fetch: its URL (absolute, http or https), the name its file is cached under, and
// the path that file takes at the pass's commit.
struct FetchPlan {
  const std::string& url;
  const std::string& fileName;
  const std::string& localPath;
};

// What a fetch came to: kOk, or the status that failed the entry and the proxy it went through.
struct FetchOutcome {
  Status status = kOk;
  ProxyUse proxy;
};

// Asks for the entry into its staged file, then hands it to the cache's next commit. Each request
// takes the routes the pass gives its URL, in order, until one connects; an https request takes a
// kept connection from the pool when one fits, and leaves its own there when the response allows.
FetchOutcome Fetch(const FetchPass& pass, const FetchPlan& plan);

}  // namespace rz
