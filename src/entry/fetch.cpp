// One entry's fetch: a continuation of kept bytes when the server vouches for them, else the whole
// file; each request follows redirects, and whatever it ends at goes into the entry's own name.
#include "entry/fetch.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "cache/kept_part.h"
#include "download/http_downloader.h"
#include "download/route.h"
#include "download/url_reference.h"
#include "download/wire_url.h"
#include "entry/diagnostics.h"

namespace rz {
namespace {

// Where one request goes: its server, and the routes there in the order to try them.
struct Where {
  WireUrl wire;
  std::vector<Route> routes;
};

// A redirect as the server sent it.
struct Redirect {
  int status = 0;
  std::string location;
};

// kOk, or why no request may go out for `url`: kUnsafeUrl, or kBadTarget (it cannot be split).
// User-info is never sent: the host and port are the authority's, and the proxy's URL goes
// without it.
Status Locate(const std::string& url, PassRoutes& routes, Where& where) {
  if (const Status taken = TakeApart(url, where.wire); taken != kOk) return taken;
  where.routes = routes.For(where.wire);
  return kOk;
}

// Connects, sends and receives: every step runs in order and a failed one ends the exchange
// with its status.
Status Exchange(HttpDownloader& downloader, const WireUrl& wire, const std::string& stagedPath,
                bool canStage, std::int32_t offset) {
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there. A TLS session that failed stays
  // under the connection, so nothing goes out in plain text.
  Status status = downloader.Connect();
  if (status >= 0) status = downloader.SendRequest(wire.target.c_str(), offset);
  if (status == kOk && !canStage) status = kFileOpenFailed;
  if (status == kOk) status = downloader.ReceiveToFile(nullptr, stagedPath.c_str(), offset);
  return status;
}

// One request for the staged file from `offset` on over `route`. The connection is closed, or
// kept in `pool` when its response allows (https only). A kept connection that the server had
// closed before any byte of the response costs one more try on a new connection, not the entry.
// A redirect ends the request with kRedirected, its status and Location in `redirect`. `reached`
// tells whether the route's first hop (the server, or the proxy) was connected to.
Status RequestVia(const Route& route, const WireUrl& wire, std::int32_t connectBudgetMicros,
                  ConnectionPool& pool, const std::string& stagedPath, bool canStage,
                  KeptPart& part, std::int32_t offset, Redirect& redirect, ProxyUse& proxy,
                  bool& reached) {
  // http through a proxy asks it for the absolute URL; https asks it for a tunnel, and TLS then
  // runs end to end, so the proxy never sees the request.
  const bool proxyForm = route.kind == RouteKind::kProxyForm;
  HttpDownloader downloader(proxyForm ? route.proxy.host.c_str() : wire.host.c_str(),
                            proxyForm ? route.proxy.port : wire.port, stagedPath.c_str());
  downloader.connectBudgetMicros = connectBudgetMicros;
  if (proxyForm) {
    downloader.proxyTargetUrl = wire.absolute.c_str();
    if (route.proxy.hasCredentials) {
      downloader.proxyUser = route.proxy.user.c_str();
      downloader.proxyPassword = route.proxy.password.c_str();
    }
  }
  if (route.kind == RouteKind::kTunnel) downloader.tunnelProxy = &route.proxy;
  downloader.useTls = wire.tls;
  downloader.reportRedirects = true;
  if (offset > 0) downloader.ifRange = part.validator().c_str();
  if (canStage) {
    part.Begin(offset);
    downloader.headerCallback = &KeptPart::OnHeader;
    downloader.headerContext = &part;
  }
  downloader.pool = &pool;
  Status status = Exchange(downloader, wire, stagedPath, canStage, offset);
  if (downloader.ClosedBeforeAnswer(status)) {
    downloader.Disconnect();
    downloader.freshConnection = true;
    status = Exchange(downloader, wire, stagedPath, canStage, offset);
  }
  reached = downloader.reached;
  const Status closed = downloader.Disconnect();
  proxy = {};
  if (route.kind != RouteKind::kDirect && status != kOk) {
    proxy.name = route.proxy.Name();
    // A tunnel the proxy refused is its own answer; through the proxy form every answer comes
    // from the proxy, the server's relayed or its own refusal.
    const bool tunnelRefused = downloader.tunnelStatus != 0 &&
                               (downloader.tunnelStatus < 200 || downloader.tunnelStatus > 299);
    proxy.status =
        proxyForm ? downloader.responseStatus : (tunnelRefused ? downloader.tunnelStatus : 0);
  }
  if (status == kRedirected) {
    redirect.status = downloader.redirectStatus;
    redirect.location.swap(downloader.location);
  }
  return status == kOk ? closed : status;
}

// One request for the staged file over the first of the routes that connects. The routes share
// the connect budget: each may take its part of what is left. A proxy that cannot be connected to
// is noted for the rest of the pass; a route that cannot be used fails the request there.
Status Request(PassRoutes& routes, const Where& where, ConnectionPool& pool,
               const std::string& stagedPath, bool canStage, KeptPart& part, std::int32_t offset,
               Redirect& redirect, ProxyUse& proxy) {
  const auto start = std::chrono::steady_clock::now();
  Status status = kConnectFailed;
  for (std::size_t i = 0; i < where.routes.size(); ++i) {
    const Route& route = where.routes[i];
    if (route.kind == RouteKind::kUnusable) {
      proxy = {};
      proxy.unusable = route.unusable;
      return kProxyUnusable;
    }
    const std::int64_t spent = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
    const auto left = static_cast<std::int64_t>(where.routes.size() - i);
    const auto budget = static_cast<std::int32_t>(
        std::max<std::int64_t>(0, (MySocket::kConnectBudgetMicros - spent) / left));
    bool reached = false;
    status = RequestVia(route, where.wire, budget, pool, stagedPath, canStage, part, offset,
                        redirect, proxy, reached);
    if (reached || left == 1) return status;
    if (route.kind != RouteKind::kDirect) routes.Unreachable(route.proxy);
    diag::RouteFailed(where.wire.absolute,
                      route.kind == RouteKind::kDirect ? "direct" : "proxy " + route.proxy.Name(),
                      status);
  }
  return status;
}

// The entry's request from `offset` on, following up to kMaxRedirects redirects. A continuation's
// Range and If-Range go to each new location, while the kept bytes stay the entry's.
Status Attempt(PassRoutes& routes, ConnectionPool& pool, const std::string& entryUrl,
               const std::string& stagedPath, bool canStage, KeptPart& part, std::int32_t offset,
               ProxyUse& proxy) {
  std::string url = entryUrl;
  for (int followed = 0;; ++followed) {
    Where where;
    if (const Status located = Locate(url, routes, where); located != kOk) {
      // The entry's own URL was split before its fetch began: one that cannot be is a hop's.
      return located == kBadTarget ? kRedirectRefused : located;
    }
    Redirect redirect;
    const Status status =
        Request(routes, where, pool, stagedPath, canStage, part, offset, redirect, proxy);
    if (status != kRedirected) return status;
    if (followed == kMaxRedirects) return kTooManyRedirects;
    std::string next;
    const Status hop = FollowRedirect(url, redirect.location, next);
    diag::Redirected(redirect.status, url, next.empty() ? redirect.location : next);
    if (hop != kOk) return hop;
    url.swap(next);
  }
}

}  // namespace

// A continuation the server refuses (a changed file, a server that ignores ranges) costs one more
// request for the whole file, never a failed entry and never a file joined from two versions. A
// fetch that fails after body bytes arrived keeps them for the next refresh; any other failure
// leaves nothing staged.
Status Fetch(CacheFolder& cache, PassRoutes& routes, ConnectionPool& pool,
             const std::string& entryUrl, const std::string& fileName, const std::string& localPath,
             ProxyUse& proxy) {
  std::string stagedPath;
  // Without the folder's lock nothing may be written; the request still goes out, and the fetch
  // fails where its file would have been opened, as it does when the cache folder is missing.
  const bool canStage = cache.locked() && cache.StagedPath(fileName, stagedPath);
  KeptPart part(stagedPath, entryUrl);
  const std::int32_t offset = canStage ? part.ResumeOffset() : 0;
  Status status = kOk;
  if (offset > 0) {
    diag::FetchResumed(entryUrl, fileName, offset);
    status = Attempt(routes, pool, entryUrl, stagedPath, true, part, offset, proxy);
    // An answer that refused the continuation touched nothing. An unreadable one counts as a
    // refusal too, or a server that answers ranges badly would fail the entry forever. Anything
    // else may have failed half-way through the body, whose bytes are kept for the next try.
    const bool refused = !part.accepted() && (status == kHttpRefused || status == kHttpNotFound ||
                                              status == kBadResponseHeader);
    if (status != kOk && !refused) {
      part.KeepOrDiscard();
      return status;
    }
  }
  if (offset <= 0 || status != kOk) {
    status = Attempt(routes, pool, entryUrl, stagedPath, canStage, part, 0, proxy);
    if (status != kOk) {
      if (canStage) part.KeepOrDiscard();
      return status;
    }
  }
  part.Finished();
  // Whether it then takes its name is the commit's to report, for this file and for others.
  cache.Staged(fileName, stagedPath, localPath, part.promisedTotal());
  return kOk;
}

}  // namespace rz
