// A setup script's answer read into routes. Whatever the bytes: at least one route and at most
// kMaxAnswerRoutes; a proxy route names a host without credentials, separators, spaces or control
// characters, on a port from 1 to 65535; a route that cannot be used names the script, why, and
// the entry, bounded and on one line; an answer without any entry is one direct route.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/pac_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  const std::string source = "setup script http://h/p.pac";
  const auto routes = rz::RoutesFromAnswer(answer, size % 2 == 1, source);
  bool ok = !routes.empty() && routes.size() <= rz::kMaxAnswerRoutes;
  for (const rz::Route& route : routes) {
    const std::string& host = route.proxy.host;
    switch (route.kind) {
      case rz::RouteKind::kDirect:
        break;
      case rz::RouteKind::kProxyForm:
      case rz::RouteKind::kTunnel:
        ok = ok && !host.empty() && !route.proxy.hasCredentials && route.proxy.port >= 1 &&
             route.proxy.port <= 65535 && host.find_first_of("; \t\r\n@/") == std::string::npos;
        for (const char c : host) ok = ok && static_cast<unsigned char>(c) >= 0x20 && c != 0x7F;
        break;
      case rz::RouteKind::kUnusable:
        ok = ok && route.unusable.source == source &&
             route.unusable.entryFault != rz::EntryFault::kNone &&
             (route.unusable.entryFault == rz::EntryFault::kProxyAddress) ==
                 (route.unusable.proxy.fault != rz::ProxyFault::kOk) &&
             route.unusable.entry.size() <= 400 &&
             route.unusable.entry.find_first_of("\r\n") == std::string::npos;
        break;
    }
  }
  if (answer.find_first_not_of(" \t\r\n\v\f;") == std::string::npos) {
    ok = ok && routes.size() == 1 && routes[0].kind == rz::RouteKind::kDirect;
  }
  if (!ok) {
    std::fprintf(stderr, "an answer of %zu bytes gave %zu routes that break their contract\n", size,
                 routes.size());
    std::abort();
  }
  return 0;
}
