// A setup script's answer for one URL ("PROXY a:3128; PROXY b:3128; DIRECT"), read into the routes
// to try in its order. Text in, routes out, no I/O: the rules are unit-tested on Linux, and a fuzz
// target can feed it any bytes.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "download/route.h"

namespace rz {

// At most this many of an answer's entries are tried; the rest of a longer list is left out.
inline constexpr std::size_t kMaxAnswerRoutes = 8;

// The routes `answer` names for a URL (https when `secure`), in its order: "DIRECT" straight to
// the server; "PROXY host[:port]" (or "HTTP ...") through that proxy, port 80 unless named, in the
// proxy form for http and through a tunnel for https. Any other entry (a SOCKS or HTTPS proxy, an
// unknown keyword, an address that does not parse) is a kUnusable route that names `source`, the
// entry and why. Keywords are read in any case and empty entries skipped; an answer without any
// entry means DIRECT.
std::vector<Route> RoutesFromAnswer(std::string_view answer, bool secure, std::string_view source);

}  // namespace rz
