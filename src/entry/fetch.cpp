// One entry's fetch: a continuation of kept bytes when the server vouches for them, else the whole
// file; each request follows redirects, and whatever it ends at goes into the entry's own name.
#include "entry/fetch.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "cache/kept_part.h"
#include "download/http_downloader.h"
#include "download/proxy_handshake.h"
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

// Where a request's body goes: the entry's staged file, whether it may be written (the cache is
// locked), the bytes kept of it and the offset to continue from (0: the whole file).
struct StagedTarget {
  const std::string& path;
  bool canStage;
  KeptPart& part;
  std::int32_t offset;
};

// One request over one route.
struct RequestPlan {
  const WireUrl& wire;
  const Route& route;
  std::int32_t connectBudgetMicros;
  const StagedTarget& target;
};

// What a request came to: its status, the redirect that ended it (kRedirected), the proxy it went
// through when it failed, and whether the route's first hop (the server, or the proxy) was
// connected to.
struct RequestOutcome {
  Status status = kConnectFailed;
  Redirect redirect;
  ProxyUse proxy;
  bool reached = false;
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
// with its status. A proxy's challenge within a handshake sends the request again on the same
// connection.
Status Exchange(HttpDownloader& downloader, const WireUrl& wire, const StagedTarget& target) {
  // A positive code is a platform error passed on by the socket; SendRequest then fails on the
  // connection that was never made, which ends the fetch there. A TLS session that failed stays
  // under the connection, so nothing goes out in plain text.
  Status status = downloader.Connect();
  for (;;) {
    if (status >= 0) status = downloader.SendRequest(wire.target.c_str(), target.offset);
    if (status == kOk && !target.canStage) status = kFileOpenFailed;
    if (status == kOk) {
      status = downloader.ReceiveToFile(nullptr, target.path.c_str(), target.offset);
    }
    if (status != kProxyChallenged) return status;
    status = kOk;
  }
}

// The exchange with a handshake begun: the proxy's verdict, or kProxyAuthFailed.
Status Handshaken(HttpDownloader& downloader, const RequestPlan& plan, ProxyHandshake& handshake) {
  downloader.proxyHandshake = &handshake;
  const Status status = Exchange(downloader, plan.wire, plan.target);
  // Whatever ended the exchange before the proxy's verdict cut the handshake short, unless the
  // proxy could not be reached at all.
  if (status != kOk && downloader.reached && !handshake.accepted()) handshake.Cut();
  return handshake.failed() ? kProxyAuthFailed : status;
}

// One request for the staged file over the plan's route. The connection is closed, or kept in
// the pool when its response allows (https only). A kept connection that the server had closed
// before any byte of the response costs one more try on a new connection, not the entry.
//
// A proxy that answers 407 asking for Negotiate or NTLM gets the request again on a new
// connection, with a handshake; one that did so earlier in the pass gets the handshake at once.
// Nothing of a handshake goes out to a proxy that did not ask, and a handshake that cannot begin
// leaves the 407 as the answer.
RequestOutcome RequestVia(const RequestPlan& plan, const FetchPass& pass) {
  const Route& route = plan.route;
  const WireUrl& wire = plan.wire;
  const StagedTarget& target = plan.target;
  // http through a proxy asks it for the absolute URL; https asks it for a tunnel, and TLS then
  // runs end to end, so the proxy never sees the request.
  const bool proxyForm = route.kind == RouteKind::kProxyForm;
  HttpDownloader downloader(proxyForm ? route.proxy.host.c_str() : wire.host.c_str(),
                            proxyForm ? route.proxy.port : wire.port, target.path.c_str());
  downloader.connectBudgetMicros = plan.connectBudgetMicros;
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
  if (target.offset > 0) downloader.ifRange = target.part.validator().c_str();
  if (target.canStage) {
    target.part.Begin(target.offset);
    downloader.headerCallback = &KeptPart::OnHeader;
    downloader.headerContext = &target.part;
  }
  downloader.pool = &pass.pool;
  const bool proxied = route.kind != RouteKind::kDirect;
  std::unique_ptr<ProxyHandshake> handshake;
  if (std::optional<ProxyOffer> asked; proxied && (asked = pass.routes.HandshakeOf(route.proxy))) {
    handshake = std::make_unique<ProxyHandshake>(route.proxy, std::move(*asked));
    if (!handshake->Begin()) handshake.reset();
  }
  Status status =
      handshake ? Handshaken(downloader, plan, *handshake) : Exchange(downloader, wire, target);
  if (downloader.ClosedBeforeAnswer(status)) {
    downloader.Disconnect();
    downloader.freshConnection = true;
    status = Exchange(downloader, wire, target);
  }
  const int answered = proxyForm ? downloader.responseStatus : downloader.tunnelStatus;
  if (!handshake && status == kHttpRefused && proxied && answered == 407 &&
      downloader.proxyOffer.Concerns()) {
    if (downloader.proxyOffer.Handshakes()) {
      pass.routes.AsksForHandshake(route.proxy, downloader.proxyOffer);
    }
    handshake = std::make_unique<ProxyHandshake>(route.proxy, std::move(downloader.proxyOffer));
    if (handshake->Begin()) {
      downloader.Disconnect();
      downloader.freshConnection = true;
      status = Handshaken(downloader, plan, *handshake);
    }
  }
  RequestOutcome outcome;
  outcome.reached = downloader.reached;
  const Status closed = downloader.Disconnect();
  if (proxied && status != kOk) {
    outcome.proxy.name = route.proxy.Name();
    // A tunnel the proxy refused is its own answer; through the proxy form every answer comes
    // from the proxy, the server's relayed or its own refusal.
    const bool tunnelRefused = downloader.tunnelStatus != 0 &&
                               (downloader.tunnelStatus < 200 || downloader.tunnelStatus > 299);
    outcome.proxy.status =
        proxyForm ? downloader.responseStatus : (tunnelRefused ? downloader.tunnelStatus : 0);
    if (handshake && handshake->failed()) outcome.proxy.auth = handshake->failure();
  }
  if (status == kRedirected) {
    outcome.redirect.status = downloader.redirectStatus;
    outcome.redirect.location.swap(downloader.location);
  }
  outcome.status = status == kOk ? closed : status;
  return outcome;
}

// One request for the staged file over the first of the routes that connects. The routes share
// the connect budget: each may take its part of what is left. A proxy that cannot be connected to
// is noted for the rest of the pass; a route that cannot be used fails the request there.
RequestOutcome Request(const FetchPass& pass, const Where& where, const StagedTarget& target) {
  const auto start = std::chrono::steady_clock::now();
  RequestOutcome outcome;
  for (std::size_t i = 0; i < where.routes.size(); ++i) {
    const Route& route = where.routes[i];
    if (route.kind == RouteKind::kUnusable) {
      outcome = RequestOutcome();
      outcome.status = kProxyUnusable;
      outcome.proxy.unusable = route.unusable;
      return outcome;
    }
    const std::int64_t spent = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
    const auto left = static_cast<std::int64_t>(where.routes.size() - i);
    const auto budget = static_cast<std::int32_t>(
        std::max<std::int64_t>(0, (MySocket::kConnectBudgetMicros - spent) / left));
    outcome = RequestVia({where.wire, route, budget, target}, pass);
    if (outcome.reached || left == 1) return outcome;
    if (route.kind != RouteKind::kDirect) pass.routes.Unreachable(route.proxy);
    diag::RouteFailed(where.wire.absolute,
                      route.kind == RouteKind::kDirect ? "direct" : "proxy " + route.proxy.Name(),
                      outcome.status);
  }
  return outcome;
}

// The entry's request from the target's offset on, following up to kMaxRedirects redirects. A
// continuation's Range and If-Range go to each new location, while the kept bytes stay the
// entry's.
FetchOutcome Attempt(const FetchPass& pass, const std::string& entryUrl,
                     const StagedTarget& target) {
  std::string url = entryUrl;
  FetchOutcome outcome;
  for (int followed = 0;; ++followed) {
    Where where;
    if (const Status located = Locate(url, pass.routes, where); located != kOk) {
      // The entry's own URL was split before its fetch began: one that cannot be is a hop's.
      outcome.status = located == kBadTarget ? kRedirectRefused : located;
      return outcome;
    }
    RequestOutcome request = Request(pass, where, target);
    outcome.proxy = std::move(request.proxy);
    outcome.status = request.status;
    if (request.status != kRedirected) return outcome;
    if (followed == kMaxRedirects) {
      outcome.status = kTooManyRedirects;
      return outcome;
    }
    std::string next;
    const Status hop = FollowRedirect(url, request.redirect.location, next);
    diag::Redirected(request.redirect.status, url, next.empty() ? request.redirect.location : next);
    if (hop != kOk) {
      outcome.status = hop;
      return outcome;
    }
    url.swap(next);
  }
}

}  // namespace

// A continuation the server refuses (a changed file, a server that ignores ranges) costs one more
// request for the whole file, never a failed entry and never a file joined from two versions. A
// fetch that fails after body bytes arrived keeps them for the next refresh; any other failure
// leaves nothing staged.
FetchOutcome Fetch(const FetchPass& pass, const FetchPlan& plan) {
  std::string stagedPath;
  // Without the folder's lock nothing may be written; the request still goes out, and the fetch
  // fails where its file would have been opened, as it does when the cache folder is missing.
  const bool canStage = pass.cache.locked() && pass.cache.StagedPath(plan.fileName, stagedPath);
  KeptPart part(stagedPath, plan.url);
  const std::int32_t offset = canStage ? part.ResumeOffset() : 0;
  FetchOutcome outcome;
  if (offset > 0) {
    diag::FetchResumed(plan.url, plan.fileName, offset);
    outcome = Attempt(pass, plan.url, {stagedPath, true, part, offset});
    // An answer that refused the continuation touched nothing. An unreadable one counts as a
    // refusal too, or a server that answers ranges badly would fail the entry forever. Anything
    // else may have failed half-way through the body, whose bytes are kept for the next try.
    const Status status = outcome.status;
    const bool refused = !part.accepted() && (status == kHttpRefused || status == kHttpNotFound ||
                                              status == kBadResponseHeader);
    if (status != kOk && !refused) {
      part.KeepOrDiscard();
      return outcome;
    }
  }
  if (offset <= 0 || outcome.status != kOk) {
    outcome = Attempt(pass, plan.url, {stagedPath, canStage, part, 0});
    if (outcome.status != kOk) {
      if (canStage) part.KeepOrDiscard();
      return outcome;
    }
  }
  part.Finished();
  // Whether it then takes its name is the commit's to report, for this file and for others.
  pass.cache.Staged(plan.fileName, stagedPath, plan.localPath, part.promisedTotal());
  return outcome;
}

}  // namespace rz
