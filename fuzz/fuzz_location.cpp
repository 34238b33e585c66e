// A redirect's Location against the URL that answered it: FollowRedirect, then TakeApart as the
// next hop's request takes the URL apart. Input: byte 0 is n, the next n bytes the base URL, the
// rest the Location. Checked: a Location with a control character is refused; a hop that goes on
// leads to an absolute http or https URL, never from https to http, and what goes on the wire
// (the host, the request target, the URL a proxy is asked for) holds no control character and
// no user-info.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "download/url_reference.h"
#include "download/wire_url.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

bool HasControl(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Whether `url` starts with `scheme` and ':' in any ASCII case.
bool SchemeIs(std::string_view url, std::string_view scheme) {
  if (url.size() <= scheme.size() || url[scheme.size()] != ':') return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if ((url[i] | 0x20) != scheme[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size < 1u + data[0]) return 0;
  const std::string base(reinterpret_cast<const char*>(data + 1), data[0]);
  const std::string location(reinterpret_cast<const char*>(data + 1 + data[0]), size - 1 - data[0]);
  std::string next;
  const rz::Status hop = rz::FollowRedirect(base, location, next);
  Check(!HasControl(location) || hop == rz::kUnsafeUrl, "a Location with a control character");
  if (hop != rz::kOk) {
    Check(hop == rz::kUnsafeUrl || hop == rz::kRedirectRefused, "refused as unsafe or refused");
    return 0;
  }
  const bool secure = SchemeIs(next, "https");
  Check(secure || SchemeIs(next, "http"), "only to http or https");
  Check(secure || !SchemeIs(base, "https"), "never from https to http");
  rz::WireUrl wire;
  if (rz::TakeApart(next, wire) != rz::kOk) return 0;  // the hop's request is refused
  Check(wire.tls == secure, "TLS exactly for https");
  Check(!HasControl(wire.host) && !HasControl(wire.target) && !HasControl(wire.absolute),
        "no control character on the wire");
  const std::size_t authority = wire.absolute.find("://");
  Check(authority != std::string::npos &&
            (secure ? SchemeIs(wire.absolute, "https") : SchemeIs(wire.absolute, "http")),
        "a proxy is asked for an absolute URL of the same scheme");
  const std::size_t authorityEnd = wire.absolute.find_first_of("/?#", authority + 3);
  Check(wire.absolute.substr(authority + 3, authorityEnd - authority - 3).find('@') ==
                std::string::npos &&
            !wire.host.empty() && wire.host.find('@') == std::string::npos,
        "no user-info to a proxy or in the Host line");
  Check(!wire.target.empty() && wire.target[0] == '/', "the request target is a path");
  return 0;
}
