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

// Reads "[http://][user[:password]@]host[:port][/...]" as curl does: no scheme means http, user
// and password are percent-decoded, a missing or empty port is `defaultPort`. Empty when it could
// be read into `out`; otherwise why it cannot be used ("unsupported scheme socks5", "bad port"),
// never quoting the value, which may hold a password.
std::string ParseProxyServer(std::string_view text, int defaultPort, ProxyServer& out);

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
  kUnusable,   // nowhere: the proxy setting that governs the URL cannot be used
};

struct Route {
  RouteKind kind = RouteKind::kDirect;
  ProxyServer proxy;     // set for kProxyForm and kTunnel
  std::string unusable;  // kUnusable: the setting's source and why, "http_proxy: bad port"
};

// The route for a URL of `scheme` ("http" or "https", any case) to `host`. A setting that governs
// the URL but cannot be used makes no route: going direct would leave a network whose policy is
// "everything through the proxy", and hide the mistake.
Route RouteFor(const platform::SystemProxySettings& settings, std::string_view scheme,
               std::string_view host);

// One line on what the settings make of downloads, e.g. "direct (no proxy set)", "http through
// proxy 10.0.0.1:3128 (http_proxy); direct for no_proxy: localhost,.lan (no_proxy)" or "https
// nowhere: https_proxy cannot be used (unsupported scheme https)".
std::string DescribeRoutes(const platform::SystemProxySettings& settings);

}  // namespace rz
