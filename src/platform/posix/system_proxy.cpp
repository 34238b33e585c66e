// The proxy environment as libcurl reads it: lower-case http_proxy only (an upper-case
// HTTP_PROXY may be set by a web server's CGI environment from a request's "Proxy:" header, so
// libcurl ignores it, and so do we); https_proxy or HTTPS_PROXY; all_proxy or ALL_PROXY for a
// scheme that has none of its own; no_proxy or NO_PROXY.
#include "platform/system_proxy.h"

#include <cstdlib>

namespace rz::platform {
namespace {

// The first of the names that is set and not empty; `source` gets its name.
std::string FirstSet(std::initializer_list<const char*> names, std::string& source) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') {
      source = name;
      return value;
    }
  }
  return std::string();
}

}  // namespace

SystemProxySettings ReadSystemProxySettings() {
  SystemProxySettings settings;
  settings.forHttp = FirstSet({"http_proxy", "all_proxy", "ALL_PROXY"}, settings.httpSource);
  settings.forHttps =
      FirstSet({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}, settings.httpsSource);
  settings.bypass = FirstSet({"no_proxy", "NO_PROXY"}, settings.bypassSource);
  settings.overrideList = false;
  settings.defaultPort = 1080;
  return settings;
}

}  // namespace rz::platform
