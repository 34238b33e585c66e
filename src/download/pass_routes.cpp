#include "download/pass_routes.h"

#include <algorithm>
#include <utility>

#include "download/ascii_text.h"
#include "download/pac_answer.h"

namespace rz {

PassRoutes::PassRoutes(platform::SystemProxySettings fixed, platform::AutoProxySettings automatic,
                       AskScript ask)
    : fixed_(std::move(fixed)), automatic_(std::move(automatic)), ask_(std::move(ask)) {}

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

std::string PassRoutes::Describe() const {
  const std::string fixed = DescribeRoutes(fixed_);
  if (!automatic_.detect && automatic_.scriptUrl.empty()) return fixed;
  std::string script = automatic_.detect ? "a detected setup script" : "";
  if (!automatic_.scriptUrl.empty()) {
    script += (script.empty() ? "setup script " : ", else setup script ") +
              ShownUrl(automatic_.scriptUrl);
  }
  return "as " + script + " answers, else " + fixed;
}

std::vector<Route> PassRoutes::For(const WireUrl& wire, std::string& notice) {
  notice.clear();
  const char* scheme = wire.tls ? "https" : "http";
  if (!automatic_.detect && automatic_.scriptUrl.empty()) {
    return {RouteFor(fixed_, scheme, wire.host)};
  }
  std::string host = wire.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  std::string origin = std::string(scheme) + "://" + host + ":" + std::to_string(wire.port);
  for (char& c : origin) c = AsciiLower(c);

  platform::ScriptReply reply;
  const auto kept = [&] {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = answers_.find(origin);
    if (found == answers_.end()) return false;
    reply = found->second;
    return true;
  };
  if (!kept()) {
    // One question at a time: fetches that start together for one host wait for the first's
    // answer instead of each asking the script.
    const std::lock_guard<std::mutex> asking(askMutex_);
    if (!kept()) {
      reply = ask_(wire.absolute, host);
      const std::lock_guard<std::mutex> lock(mutex_);
      if (automatic_.keepAnswers && reply.kind != platform::ScriptReply::Kind::kNoScript) {
        answers_.emplace(origin, reply);
      }
    }
  }

  const std::lock_guard<std::mutex> lock(mutex_);
  if (reply.kind != platform::ScriptReply::Kind::kAnswer) {
    const bool noScript = reply.kind == platform::ScriptReply::Kind::kNoScript;
    bool& told = noScript ? toldNoScript_ : toldNoAnswer_;
    if (!told) {
      told = true;
      notice = noScript ? Shown(reply.text) + "; downloads go "
                        : Shown(reply.source) + " gave no answer for " + ShownUrl(wire.absolute) +
                              " (" + reply.text + "); such URLs go ";
      notice += DescribeRoutes(fixed_);
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

}  // namespace rz
