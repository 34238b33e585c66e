#include "download/pass_routes.h"

#include <algorithm>
#include <utility>

#include "download/ascii_text.h"
#include "download/pac_answer.h"

namespace rz {
namespace {

// `url` with its scheme and authority in lower case; the path and query as they are.
std::string LowerCaseAuthority(std::string url) {
  const std::size_t scheme = url.find("://");
  const std::size_t begin = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", begin), url.size());
  for (std::size_t i = 0; i < end; ++i) url[i] = AsciiLower(url[i]);
  return url;
}

// Runs `end` when it goes, however the scope is left.
template <typename End>
class OnExit {
 public:
  explicit OnExit(End end) : end_(std::move(end)) {}
  ~OnExit() { end_(); }
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;

 private:
  End end_;
};

}  // namespace

PassRoutes::PassRoutes(platform::SystemProxySettings fixed, platform::AutoProxySettings automatic,
                       AskScript ask, OnNotice notice)
    : fixed_(std::move(fixed)),
      automatic_(std::move(automatic)),
      ask_(std::move(ask)),
      notice_(std::move(notice)) {}

// The named script's address without its user-info, wherever a line quotes it.
std::string PassRoutes::Shown(std::string text) const {
  const std::string& url = automatic_.scriptUrl;
  if (url.empty()) return text;
  const std::string shown = ShownUrl(url);
  for (std::size_t at = text.find(url); at != std::string::npos;
       at = text.find(url, at + shown.size())) {
    text.replace(at, url.size(), shown);
  }
  return text;
}

std::vector<Route> PassRoutes::For(const WireUrl& wire) {
  const char* scheme = wire.tls ? "https" : "http";
  if (!automatic_.detect && automatic_.scriptUrl.empty()) {
    return {RouteFor(fixed_, scheme, wire.host)};
  }
  // The script is asked exactly what its answer is kept under: the host lower-cased, as the
  // platform's own resolvers ask, and, while answers are kept for the origin, the origin's URL
  // alone. A question that carried one entry's spelling or path would otherwise decide the route
  // of every other entry of that origin, whatever the script says for theirs.
  std::string host = wire.host;
  for (char& c : host) c = AsciiLower(c);
  const std::int32_t port = wire.port != 0 ? wire.port : 80;
  const bool defaultPort = port == (wire.tls ? 443 : 80);
  const std::string question = automatic_.keepAnswers
                                   ? std::string(scheme) + "://" + host +
                                         (defaultPort ? "" : ":" + std::to_string(port)) + "/"
                                   : LowerCaseAuthority(wire.absolute);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string origin = std::string(scheme) + "://" + host + ":" + std::to_string(port);

  // Fetches that start together for one origin wait for the first's answer instead of each asking
  // the script. Questions for different origins are not held here: the script's worker takes
  // them one at a time.
  platform::ScriptReply reply;
  std::unique_lock<std::mutex> lock(mutex_);
  asked_.wait(lock, [&] { return asking_.count(origin) == 0; });
  const auto found = answers_.find(origin);
  if (found != answers_.end()) {
    reply = found->second;
  } else {
    asking_.insert(origin);
    // The origin is free again however the question ends, an exception included.
    const OnExit asking([&] {
      if (!lock.owns_lock()) lock.lock();
      asking_.erase(origin);
      asked_.notify_all();
    });
    lock.unlock();
    reply = ask_(question, host);
    lock.lock();
    if (automatic_.keepAnswers && reply.kind != platform::ScriptReply::Kind::kNoScript) {
      answers_.emplace(origin, reply);
    }
  }

  if (reply.kind != platform::ScriptReply::Kind::kAnswer) {
    const bool noScript = reply.kind == platform::ScriptReply::Kind::kNoScript;
    bool& told = noScript ? toldNoScript_ : toldNoAnswer_;
    const bool first = !told;
    told = true;
    // The line is written outside the lock.
    lock.unlock();
    if (first && notice_) {
      ScriptNotice notice;
      if (noScript) {
        notice.why = Shown(reply.text);
      } else {
        notice.kind = ScriptNotice::Kind::kNoAnswer;
        notice.why = reply.text;
        notice.script = Shown(reply.source);
        notice.url = wire.absolute;
      }
      notice_(notice);
    }
    return {RouteFor(fixed_, scheme, wire.host)};
  }
  std::vector<Route> routes = RoutesFromAnswer(reply.text, wire.tls, Shown(reply.source));
  // A proxy that did not answer in this pass is tried after the others, as browsers do.
  std::stable_partition(routes.begin(), routes.end(), [&](const Route& route) {
    return route.kind == RouteKind::kDirect || route.kind == RouteKind::kUnusable ||
           unreachable_.count(route.proxy.Name()) == 0;
  });
  return routes;
}

void PassRoutes::Unreachable(const ProxyServer& proxy) {
  const std::lock_guard<std::mutex> lock(mutex_);
  unreachable_.insert(proxy.Name());
}

void PassRoutes::AsksForHandshake(const ProxyServer& proxy, const ProxyOffer& offer) {
  const std::lock_guard<std::mutex> lock(mutex_);
  handshakes_.emplace(proxy.Name(), offer);
}

std::optional<ProxyOffer> PassRoutes::HandshakeOf(const ProxyServer& proxy) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = handshakes_.find(proxy.Name());
  if (found == handshakes_.end()) return std::nullopt;
  return found->second;
}

}  // namespace rz
