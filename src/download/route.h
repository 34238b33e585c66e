// The route of one download: straight to its server, or through the system's proxy (in the
// absolute request form for http, through a CONNECT tunnel for https). Pure logic over the
// settings the platform read (platform/system_proxy.h), so every rule is unit-tested on Linux.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system_proxy.h"

namespace rz {

struct ProxyServer {
  std::string host;  // as written, an IPv6 literal with its brackets
  std::int32_t port = 0;
  bool hasCredentials = false;  // "user:password@" was given (either may be empty)
  std::string user;             // percent-decoded
  std::string password;
  // "host:port", for debug lines; never the credentials.
  std::string Name() const { return host + ":" + std::to_string(port); }
};

// "[http://][user[:password]@]host[:port][/]", the port `defaultPort` when none is named. False
// for an empty text, another scheme (socks, https), no host or a bad port.
bool ParseProxyServer(std::string_view text, int defaultPort, ProxyServer& out);

// Whether `host` is in a no_proxy list as libcurl reads it: comma-separated, "*" alone for every
// host, an entry matches the host itself and its subdomains (a leading dot changes nothing),
// case-insensitive, brackets of an IPv6 literal ignored.
bool NoProxyMatches(std::string_view list, std::string_view host);
// Whether `host` is in a ProxyOverride list: ';'-separated patterns where '*' stands for any run
// of characters, case-insensitive; "<local>" stands for every name without a dot.
bool OverrideMatches(std::string_view list, std::string_view host);

enum class RouteKind {
  kDirect,     // straight to the URL's host and port
  kProxyForm,  // to the proxy, asking for the absolute URL (http)
  kTunnel,     // to the proxy, CONNECT to the URL's host and port, then end to end (https)
};

struct Route {
  RouteKind kind = RouteKind::kDirect;
  ProxyServer proxy;  // set unless kDirect
};

// The route for a URL of `scheme` ("http" or "https", any case) to `host`.
Route RouteFor(const platform::SystemProxySettings& settings, std::string_view scheme,
               std::string_view host);

// One line on what the settings make of downloads, e.g. "direct (no proxy set)" or "http through
// proxy 10.0.0.1:3128 (http_proxy); direct for no_proxy: localhost,.lan (no_proxy)".
std::string DescribeRoutes(const platform::SystemProxySettings& settings);

}  // namespace rz
