// A URL as a request puts it on the wire. An entry's URL and every redirect's target are taken
// apart here and nowhere else, so each route (direct, proxy form, CONNECT tunnel) and each hop
// obeys the same rules: a control character never gets near a request, and user-info
// ("user:password@") is never sent anywhere nor written to a debug line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/status_codes.h"
#include "download/url_text.h"

namespace rz {

// What a request for one URL is made of.
struct WireUrl {
  std::string host;       // as the Host line and the tunnel write it: an IPv6 literal in brackets
  std::int32_t port = 0;  // 443 for https without one; 0 (taken as 80) for an empty http port
  bool tls = false;       // https
  std::string target;     // the request line's target: path and query, "/" when there is none
  std::string absolute;   // what a proxy is asked for: the URL without user-info and fragment,
                          // its scheme in lower case, spaces as '+'
  std::size_t hostOffset = 0;  // where the host starts in the URL
};

// Takes `url` apart for a request. Its scheme may be in any case, and the requests are those of
// its lower-case form; a fragment ('#' on) goes nowhere, as no client sends one. kOk; kUnsafeUrl
// when it holds a control character (in a fragment too); kBadTarget when the platform's cracker
// cannot split it, finds no host, or sees its user-info elsewhere than UserInfoOf does, or the
// user-info holds a second '@'. `out` changes on kOk only.
Status TakeApart(const std::string& url, WireUrl& out);

}  // namespace rz
