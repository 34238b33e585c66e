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

// Why a proxy text cannot be used.
enum class ProxyFault {
  kOk,
  kEmpty,
  kControlCharacter,
  kUnsupportedScheme,   // a scheme other than http; ProxyCheck::scheme names it
  kUnreadableScheme,    // text before "://" that is no scheme name
  kUnencodedDelimiter,  // a '/', '?' or '#' in the user name or password
  kUnencodedAt,         // an '@' in the user name or password
  kLongCredentials,     // longer than kMaxCredentialsBytes
  kUnclosedIpv6,        // an IPv6 address without its ']'
  kTextAfterIpv6,       // anything but ":port" after the ']'
  kNoHost,              // nothing before the port
  kBadPort,             // not a number from 1 to 65535
};

// ParseProxyServer's verdict, with what its words need beyond the fault. Never the value itself,
// which may hold a password.
struct ProxyCheck {
  ProxyFault fault = ProxyFault::kOk;
  std::string scheme;  // kUnsupportedScheme: as written, letters, digits and "+-." only
};

// Reads "[http://][user[:password]@]host[:port][/...]" as curl does: no scheme means http, user
// and password are percent-decoded, a missing or empty port is `defaultPort`. kOk when it could be
// read into `out`; otherwise why it cannot be used.
ProxyCheck ParseProxyServer(std::string_view text, int defaultPort, ProxyServer& out);

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

// Why an entry of a setup script's answer cannot be used (download/pac_answer.h).
enum class EntryFault {
  kNone,             // not a script's entry: a fixed setting, whose Unusable::proxy says why
  kProxyAddress,     // PROXY or HTTP before an address that Unusable::proxy refuses
  kNotHostAndPort,   // PROXY or HTTP before credentials, a path or a second word
  kTextAfterDirect,  // DIRECT followed by more
  kSocks,            // a SOCKS proxy
  kTlsProxy,         // HTTPS: a proxy spoken to over TLS
  kUnknownKeyword,   // none of DIRECT, PROXY, HTTP, SOCKS..., HTTPS
};

// Why a route goes nowhere, as values; entry/diagnostics puts them into words.
struct Unusable {
  std::string source;  // the setting ("http_proxy") or the script ("setup script http://h/p.pac")
  ProxyCheck proxy;    // a fixed setting, or kProxyAddress: why the proxy text cannot be used
  EntryFault entryFault = EntryFault::kNone;
  // A script's entry as a line may show it: at most 100 bytes, control characters as %XX, and
  // "..." after one that was cut.
  std::string entry;
};

struct Route {
  RouteKind kind = RouteKind::kDirect;
  ProxyServer proxy;  // set for kProxyForm and kTunnel
  Unusable unusable;  // kUnusable: why
};

// The route for a URL of `scheme` ("http" or "https", any case) to `host`. A setting that governs
// the URL but cannot be used makes no route: going direct would leave a network whose policy is
// "everything through the proxy", and hide the mistake.
Route RouteFor(const platform::SystemProxySettings& settings, std::string_view scheme,
               std::string_view host);

}  // namespace rz
