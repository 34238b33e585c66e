#include "download/pac_answer.h"

#include <string>
#include <utility>

#include "download/ascii_text.h"
#include "download/wire_url.h"

namespace rz {
namespace {

// An entry as a line may show it: at most 100 bytes, control characters as %XX.
std::string ShownEntry(std::string_view entry) {
  constexpr std::size_t kMaxShown = 100;
  return ShownText(entry.substr(0, kMaxShown)) + (entry.size() > kMaxShown ? "..." : "");
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

Route EntryRoute(std::string_view entry, bool secure, std::string_view source) {
  Route route;
  const std::size_t space = entry.find_first_of(" \t");
  const std::string_view keyword = entry.substr(0, space);
  const std::string_view address =
      space == std::string_view::npos ? std::string_view() : Trimmed(entry.substr(space));
  EntryFault fault = EntryFault::kUnknownKeyword;
  ProxyCheck check;
  if (EqualsIgnoreCase(keyword, "DIRECT")) {
    if (address.empty()) return route;
    fault = EntryFault::kTextAfterDirect;
  } else if (EqualsIgnoreCase(keyword, "PROXY") || EqualsIgnoreCase(keyword, "HTTP")) {
    // A host and a port, nothing else: no scheme, credentials, path or second word.
    if (address.find_first_of("@/ \t") != std::string_view::npos) {
      fault = EntryFault::kNotHostAndPort;
    } else {
      check = ParseProxyServer(address, 80, route.proxy);
      if (check.fault == ProxyFault::kOk) {
        route.kind = secure ? RouteKind::kTunnel : RouteKind::kProxyForm;
        return route;
      }
      fault = EntryFault::kProxyAddress;
    }
  } else if (StartsWithIgnoreCase(keyword, "SOCKS")) {
    fault = EntryFault::kSocks;
  } else if (EqualsIgnoreCase(keyword, "HTTPS")) {
    fault = EntryFault::kTlsProxy;
  }
  route = Route();
  route.kind = RouteKind::kUnusable;
  route.unusable.source = std::string(source);
  route.unusable.proxy = std::move(check);
  route.unusable.entryFault = fault;
  route.unusable.entry = ShownEntry(entry);
  return route;
}

}  // namespace

std::vector<Route> RoutesFromAnswer(std::string_view answer, bool secure, std::string_view source) {
  std::vector<Route> routes;
  while (routes.size() < kMaxAnswerRoutes) {
    const std::size_t end = answer.find(';');
    const std::string_view entry = Trimmed(answer.substr(0, end));
    if (!entry.empty()) routes.push_back(EntryRoute(entry, secure, source));
    if (end == std::string_view::npos) break;
    answer.remove_prefix(end + 1);
  }
  if (routes.empty()) routes.emplace_back();
  return routes;
}

}  // namespace rz
