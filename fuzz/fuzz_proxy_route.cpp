// The route of an entry from the proxy settings: TakeApart, then RouteFor, as a fetch locates
// its server. Input: byte 0 picks the form (odd: Windows Internet Settings, the http value is the
// whole ProxyServer value and goes through ProxyServerFor; even: http_proxy, https_proxy and
// no_proxy), then NUL-separated: the entry URL, the http value, the https value, the bypass list.
// Checked: the route is direct, a refusal, or a proxy with a host and a port in 1..65535 of the
// kind the scheme takes; it is direct exactly when it would be with a good proxy in place of the
// value that governs the URL, so never because that value did not parse; no value, no proxy.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "download/route.h"
#include "download/wire_url.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

std::string TakeField(std::string_view& input) {
  const std::size_t end = input.find('\0');
  const std::string field(input.substr(0, end));
  input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string url = TakeField(input);
  const std::string httpValue = TakeField(input);
  const std::string httpsValue = TakeField(input);
  rz::platform::SystemProxySettings settings;
  settings.bypass = TakeField(input);
  if ((data[0] & 1) != 0) {
    settings.forHttp = rz::platform::ProxyServerFor(httpValue, "http");
    settings.forHttps = rz::platform::ProxyServerFor(httpValue, "https");
    settings.overrideList = true;
    settings.defaultPort = 80;
  } else {
    settings.forHttp = httpValue;
    settings.forHttps = httpsValue;
  }
  settings.httpSource = "http_proxy";
  settings.httpsSource = "https_proxy";

  rz::WireUrl wire;
  if (rz::TakeApart(url, wire) != rz::kOk) return 0;  // refused before any route
  const char* scheme = wire.tls ? "https" : "http";
  const rz::Route route = rz::RouteFor(settings, scheme, wire.host);
  switch (route.kind) {
    case rz::RouteKind::kProxyForm:
    case rz::RouteKind::kTunnel:
      Check((route.kind == rz::RouteKind::kTunnel) == wire.tls, "a tunnel exactly for https");
      Check(route.proxy.port >= 1 && route.proxy.port <= 65535, "a proxy port of 1..65535");
      Check(!route.proxy.host.empty() &&
                rz::ControlCharacterAt(route.proxy.host) == std::string::npos,
            "a proxy host");
      break;
    case rz::RouteKind::kUnusable:
      Check(route.unusable.source == (wire.tls ? "https_proxy" : "http_proxy") &&
                route.unusable.proxy.fault != rz::ProxyFault::kOk &&
                route.unusable.entryFault == rz::EntryFault::kNone,
            "a refusal names its setting and why");
      break;
    case rz::RouteKind::kDirect:
      break;
  }
  std::string& governing = wire.tls ? settings.forHttps : settings.forHttp;
  Check(!governing.empty() || route.kind == rz::RouteKind::kDirect, "no value, no proxy");
  if (!governing.empty()) {
    governing = "proxy.test:3128";
    const bool directWithGoodProxy =
        rz::RouteFor(settings, scheme, wire.host).kind == rz::RouteKind::kDirect;
    Check((route.kind == rz::RouteKind::kDirect) == directWithGoodProxy,
          "direct only where the bypass list sends the URL direct");
  }
  return 0;
}
