// The system's proxy settings for the download engine, as the platform states them; judging them
// for one URL is download/route.h's. Linux: the environment variables libcurl reads (the query
// stage follows them already). Windows: the current user's Internet Settings, which the query's
// request object follows. Automatic configuration (PAC scripts, WPAD) is not read.
#pragma once

#include <string>
#include <string_view>

namespace rz::platform {

struct SystemProxySettings {
  // The proxy for http and for https URLs: "[http://][user[:password]@]host[:port][/]", or any
  // other "scheme://..." the platform names (a socks proxy), which the route refuses; empty when
  // URLs of that scheme go direct.
  std::string forHttp;
  std::string forHttps;
  // Hosts that go direct whatever the above say.
  std::string bypass;
  // How `bypass` reads: false for a no_proxy list (comma-separated names, ".suffix" or "*"), true
  // for a ProxyOverride list (';'-separated patterns with '*', and "<local>").
  bool overrideList = false;
  // The port of a proxy that names none: 1080 as libcurl takes it, 80 as WinINet does.
  int defaultPort = 1080;
  // Where each setting came from, for the debug line ("http_proxy", "Internet Settings").
  std::string httpSource;
  std::string httpsSource;
  std::string bypassSource;
};

SystemProxySettings ReadSystemProxySettings();

// The server for URLs of `scheme` (lower case) in an Internet Settings ProxyServer value: the whole
// value when it names one server for every scheme, else its "scheme=" entry. A scheme without one
// goes through the "socks=" entry when there is one, as WinINet takes it; that comes back as
// "socks://host:port", which the route cannot use, so such URLs fail instead of going direct.
// Empty when URLs of the scheme go direct. Plain text, read alike on every build.
std::string ProxyServerFor(std::string_view value, std::string_view scheme);

}  // namespace rz::platform
