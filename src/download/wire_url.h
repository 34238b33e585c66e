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

namespace rz {

// The index of the first control character (0x00-0x1F or 0x7F) in `text`; npos when none. Such a
// byte in a URL could end a request line and start a header of the sender's choosing.
std::size_t ControlCharacterAt(std::string_view text);

// Where the user-info of `url` lies: [begin, end), the '@' included, begin == end when there is
// none. The authority starts after a "://" that comes before any '/', '?' or '#' (at the start of
// a URL without a scheme) and ends at the next of those; the user-info runs to its last '@'.
struct TextSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};
TextSpan UserInfoOf(std::string_view url);

// `text` for a debug line: each control character as "%XX", so that a line stays one line.
std::string ShownText(std::string_view text);
// `url` for a debug line: without its user-info, as ShownText writes it.
std::string ShownUrl(std::string_view url);

// `text` with each byte from 0x80 up as "%XX", everything else as it is: raw UTF-8 in a Location,
// as a server configured with a non-ASCII path sends it, made the ASCII a request line carries.
std::string HighBytesEncoded(std::string_view text);

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
